// The transaction list: collects changes of migrated objects (updates and
// deletions) for one session and sends them in server transactions of at
// most the server's number of objects, committing each batch with EndTxn. A
// connection lost during a batch re-opens the session and sends the whole
// batch again.
//
// Contract
// - A list belongs to one session and is used by the thread that owns it.
// - The list keeps its own copies of file specs and attributes; callers may
//   reuse theirs at once. A result pointer given to hsmTlMigrObj must stay
//   valid until the list is ended or aborted.
// - Results: 0; 102 out of memory; the send or receive failure; 136 for a
//   broken conversation; the server's abort reason when a batch could not be
//   committed after its retry; 131 for an invalid item kind; 101 when an
//   item's result asks to stop; the first connection failure when re-opening
//   gives up.
// - A failure aborts the list: the open server transaction is abandoned and
//   every queued change is dropped.
// - A full list goes out whole with its EndTxn, but its vote is read only by
//   the next flush (hsmTlMigrObj, hsmTlMigrDel on a full list; hsmTlEnd; an
//   abort reads it too): stats.committedUpdates counts a batch once its
//   commit vote has been read. At most one batch is in flight; a batch is
//   sent only after every earlier one was committed or given up.
// - While no vote is outstanding, a queued change goes out at once into the
//   open server transaction (the session's send buffer gathers them), so
//   that the server applies a batch while it fills; a vote outstanding is
//   looked for every kTlVoteLookEvery changes (one poll), and once it is read
//   the changes queued meanwhile follow. Batches, their order and their
//   EndTxn are those of a list that sends each batch whole when it is full:
//   a change that could not be sent at once is sent, and a failure of that
//   sending is reported, by the flush that ends its batch.
#ifndef KMR_SERVER_TXNLIST_H
#define KMR_SERVER_TXNLIST_H

#include <cstdint>
#include <vector>

#include "server/attrib.h"
#include "server/filespec.h"
#include "server/session.h"

constexpr int kTlKindUpdate = 26;
constexpr int kTlKindDelete = 22;
constexpr int kTlTypeHsm = 6;
constexpr uint32_t kTlDefaultItemLimit = 256;  // when the server states none
constexpr size_t kTlVoteLookEvery = 32;

// Re-open events (kReopenStart, kReopenDone, kReopenGiveUp) for the owner;
// the answer to kReopenStart must be RC_REOPEN_GO_ON (140) for the re-open
// to go on.
typedef int (*TlCallback)(int event, void* data);

struct TxnItem {
  int kind = 0;
  fileSpec_t fileSpec;
  Attrib attr{};
  uint16_t flags = 0;
  int result = 0;
  int retries = 0;
  int state = 0;          // TxnItemState
  int* resultOut = nullptr;
};

struct TxnStats {
  uint64_t transactions = 0, committed = 0, aborted = 0, updates = 0, deletes = 0, reopens = 0,
           failedItems = 0;
  // Updates in transactions the server voted to commit: the only updates
  // that are known to be on the server.
  uint64_t committedUpdates = 0;
};

struct TxnList {
  Sess_o* session = nullptr;
  TlCallback callback = nullptr;
  void* callbackData = nullptr;
  int txnType = 0;
  uint32_t itemLimit = kTlDefaultItemLimit;
  uint64_t byteLimit = 0;
  uint64_t byteCount = 0;
  bool txnOpen = false;
  std::vector<TxnItem> items;   // the item pool: reserved to itemLimit
  // The batch whose EndTxn went out while its vote is still to be read
  // (votePending): a full list is sent and the caller goes on while the
  // server commits; the next flush (or the end, or an abort) reads the vote
  // before anything newer is sent.
  std::vector<TxnItem> inFlight;
  bool votePending = false;
  // How far `items` has gone out into the open transaction, and what ended
  // that early sending: a broken connection (< 0, the flush re-opens and
  // sends the batch again) or a failure the flush reports.
  size_t sentEarly = 0;
  int earlyBroken = 0;
  int earlyFailure = 0;
  std::string verbPath;  // the path of the MigrUpd being sent, kept from item to item
  // Items of settled or dropped batches, kept with their name buffers for
  // the next ones: a run queues without allocating once two batches went by.
  std::vector<TxnItem> spareItems;
  TxnStats stats;
};

TxnList* hsmTlNewTransaction(Sess_o* session, TlCallback callback, int type, void* callbackData);
// Sets the limits (itemLimit 0 takes kTlDefaultItemLimit). Returns 0 or 102.
int hsmTlInitialzeEx(TxnList* list, uint64_t byteLimit, uint32_t itemLimit, uint8_t flags);
void hsmTlSetTxnType(TxnList* list, int type);
// Empties the list and reserves its items. Returns 0 or 102.
int hsmTlInit(TxnList* list);
// Queues a change; a full list is sent first.
int hsmTlMigrObj(TxnList* list, int kind, const fileSpec_t* fileSpec, const Attrib* attr,
                 uint16_t flags, int* resultOut);
int hsmTlMigrDel(TxnList* list, const fileSpec_t* fileSpec, const Attrib* attr);
// Sends what is queued and empties the list.
int hsmTlEnd(TxnList* list);
// Abandons the open transaction and drops every queued change. Returns 0.
int hsmTlAbort(TxnList* list);
// Frees the list and sets the pointer to null.
void hsmTlDeleteTransaction(TxnList*& list);

#endif
