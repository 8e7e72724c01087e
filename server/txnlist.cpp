#include "common/rc.h"
#include "server/txnlist.h"

#include <cstdlib>
#include <new>

#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"
#include "server/cuverbs.h"
#include "server/wire/attribcodec.h"

namespace {

enum TxnItemState { kItemPending = 1, kItemSent = 2, kItemDone = 3, kItemGivenUp = 4 };
// An aborted batch is sent once more; an item aborted twice is given up.
constexpr int kMaxRetries = 1;

void finishItem(TxnItem& item, int state, int result) {
  item.state = state;
  item.result = result;
  if (item.resultOut) *item.resultOut = result;
}

// Prepares the handle form of an update's attributes, as the server keeps
// the handle with the object.
int prepareUpdate(TxnList* tl, TxnItem& item) {
  if (item.flags & kMigrUpdAttribs) {
    item.attr.hsm.handleForm.marker = kAttribHandleMarker;
    return 0;
  }
  HsmHandleFn getHandle = sessGetConfig(tl->session).getHsmHandle;
  if (item.fileSpec.pathName.empty() || !getHandle) return 0;
  DmHandle handle;
  int rc = getHandle(&item.fileSpec, &handle);
  if (rc) return rc;
  attribSetHandle(item.attr, handle);
  return 0;
}

int sendItem(TxnList* tl, TxnItem& item) {
  const fileSpec_t& fs = item.fileSpec;
  if (item.kind == kTlKindDelete) {
    ++tl->stats.deletes;
    return cuMigrDel(tl->session, fs.fsID, fs.objId);
  }
  if (item.kind != kTlKindUpdate) {
    TRACE(TR_TXN, "PrivFlush - Invalid kind %d\n", item.kind);
    return RC_UNEXPECTED;
  }
  if (int rc = prepareUpdate(tl, item)) return rc;
  const bool withPath = (item.flags & kMigrUpdPath) != 0;
  if (withPath) tl->verbPath.assign(fs.pathName, fmBelowFsOffset(fs));
  ++tl->stats.updates;
  return cuMigrUpd(tl->session, fs.fsID, fs.objId, &item.attr, withPath ? &tl->verbPath : nullptr,
                   item.flags);
}

// Decides after an aborted transaction which items are sent once more.
// Returns true when any item was given up.
bool afterAbort(TxnList* tl, std::vector<TxnItem>& batch, int reason) {
  ++tl->stats.aborted;
  bool gaveUp = false;
  for (TxnItem& item : batch) {
    if (item.state != kItemSent) continue;
    if (item.retries++ < kMaxRetries) {
      item.state = kItemPending;
    } else {
      ++tl->stats.failedItems;
      finishItem(item, kItemGivenUp, reason);
      gaveUp = true;
    }
  }
  return gaveUp;
}

bool anyPending(const std::vector<TxnItem>& batch) {
  for (const TxnItem& item : batch)
    if (item.state == kItemPending) return true;
  return false;
}

// Reads the server's vote on the transaction whose EndTxn went out and
// settles its items: done when committed, pending again (or given up) when
// aborted. Returns 0 or the failure that ends the flush.
int receiveVote(TxnList* tl, std::vector<TxnItem>& batch, int* givenUpReason) {
  uint8_t vote = kVoteCommit, reason = 0;
  if (int rc = cuGetEndTxn(tl->session, &vote, &reason)) return rc;
  if (vote == kVoteCommit) {
    ++tl->stats.committed;
    for (TxnItem& item : batch)
      if (item.state == kItemSent) {
        finishItem(item, kItemDone, 0);
        if (item.kind == kTlKindUpdate) ++tl->stats.committedUpdates;
      }
    return 0;
  }
  TRACE(TR_TXN, "PrivFlush: server aborted the transaction, vote %d, reason %d\n", vote, reason);
  int abortReason = reason ? reason : RC_PROTOCOL_ERROR;
  if (afterAbort(tl, batch, abortReason)) *givenUpReason = abortReason;
  return 0;
}

// Sends the pending items of `batch` from `from` on into the open server
// transaction, beginning one when none is open. Returns 0 or the failure
// that ends the flush.
int sendPendingItems(TxnList* tl, std::vector<TxnItem>& batch, size_t from) {
  for (size_t i = from; i < batch.size(); ++i) {
    TxnItem& item = batch[i];
    if (item.state != kItemPending) continue;
    if (!tl->txnOpen) {
      if (int rc = cuBeginTxn(tl->session)) return rc;
      tl->txnOpen = true;
      ++tl->stats.transactions;
    }
    int rc = sendItem(tl, item);
    if (rc < 0 || rc == RC_PROTOCOL_ERROR) return rc;  // the conversation is gone
    if (rc == RC_STOPPED) return rc;
    if (rc == RC_UNEXPECTED) return rc;
    if (rc) {
      ++tl->stats.failedItems;
      finishItem(item, kItemGivenUp, rc);
      continue;
    }
    item.state = kItemSent;
  }
  return 0;
}

// One server transaction over the pending items of `batch` (and those
// already sent into the open one). With `await` the vote is read and the
// items settled (see receiveVote); without it the vote stays to be read
// (tl->votePending) while the caller goes on. Returns 0 or the failure that
// ends the flush.
int sendOneTransaction(TxnList* tl, std::vector<TxnItem>& batch, int* givenUpReason, bool await) {
  if (int rc = sendPendingItems(tl, batch, 0)) return rc;
  if (!tl->txnOpen) return 0;  // every pending item failed locally
  int rc = cuSendEndTxn(tl->session, kVoteCommit, 0);
  tl->txnOpen = false;  // ended for the server; its vote is all that is left
  if (rc) return rc;
  if (!await) {
    tl->votePending = true;
    return 0;
  }
  return receiveVote(tl, batch, givenUpReason);
}

void markAllPending(std::vector<TxnItem>& batch) {
  for (TxnItem& item : batch) {
    item.state = kItemPending;
    item.result = 0;
    item.retries = 0;
  }
}

// Steps 1 to 4 of a flush: every item is (re)sent from the start and each
// vote awaited.
int flushOnce(TxnList* tl, std::vector<TxnItem>& batch) {
  markAllPending(batch);
  int givenUpReason = 0;
  while (anyPending(batch))
    if (int rc = sendOneTransaction(tl, batch, &givenUpReason, true)) return rc;
  return givenUpReason;
}

int reopenCallback(int event, void* data) {
  TxnList* tl = static_cast<TxnList*>(data);
  TRACE(TR_TXN, "hsmTl reopen event %d\n", event);
  if (tl->callback) return tl->callback(event, tl->callbackData);
  return event == kReopenStart ? RC_REOPEN_GO_ON : 0;
}

// Empties `batch` into the list's spare items.
void recycle(TxnList* tl, std::vector<TxnItem>& batch) {
  for (TxnItem& item : batch) tl->spareItems.push_back(std::move(item));
  batch.clear();
}

void emptyList(TxnList* tl) {
  recycle(tl, tl->items);
  tl->byteCount = 0;
  tl->sentEarly = 0;
  tl->earlyBroken = 0;
  tl->earlyFailure = 0;
}

// After a broken connection (`rc` < 0): re-opens the session and sends the
// whole batch again until it goes through or re-opening gives up.
int resendAfterBreak(TxnList* tl, std::vector<TxnItem>& batch, int rc) {
  const int firstFailure = rc;
  while (rc < 0) {
    tl->txnOpen = false;
    tl->votePending = false;
    ++tl->stats.reopens;
    int reopened = ReopenSess(tl->session, reopenCallback, tl);
    if (reopened == RC_REOPEN_FAILED) return firstFailure;
    if (reopened) return reopened;
    rc = flushOnce(tl, batch);
  }
  return rc;
}

// Finishes the batch in flight: reads its vote, and when the server aborted
// it or the connection broke, sends it again (awaiting each vote) until it
// goes through or is given up. Nothing newer is sent before it is settled,
// so transactions reach the server one at a time and in order.
int settleInFlight(TxnList* tl) {
  if (!tl->votePending) return 0;
  tl->votePending = false;
  int givenUpReason = 0;
  int rc = receiveVote(tl, tl->inFlight, &givenUpReason);
  while (rc == 0 && anyPending(tl->inFlight))
    rc = sendOneTransaction(tl, tl->inFlight, &givenUpReason, true);
  if (rc < 0) rc = resendAfterBreak(tl, tl->inFlight, rc);
  if (rc == 0) rc = givenUpReason;
  if (rc == 0) recycle(tl, tl->inFlight);
  return rc;
}

// Sends the whole list. The list's items become the batch in flight; its
// vote is read at once with `await`, else by the next flush, so that the
// caller goes on with its work while the server commits.
int flushList(TxnList* tl, bool await) {
  if (int rc = settleInFlight(tl)) return rc;
  if (int rc = tl->earlyFailure) return rc;
  if (tl->items.empty()) {
    emptyList(tl);
    return 0;
  }
  const int broken = tl->earlyBroken;
  tl->inFlight.swap(tl->items);
  emptyList(tl);
  int givenUpReason = 0;
  int rc = broken < 0 ? broken : sendOneTransaction(tl, tl->inFlight, &givenUpReason, false);
  if (rc < 0) rc = resendAfterBreak(tl, tl->inFlight, rc);
  if (rc != 0) return rc;
  if (!tl->votePending) {  // nothing went out (every item failed locally) or it was resent
    recycle(tl, tl->inFlight);
    return 0;
  }
  return await ? settleInFlight(tl) : 0;
}

void traceStats(const TxnList* tl) {
  if (!TR_TXN) return;
  const TxnStats& st = tl->stats;
  const uint64_t values[] = {st.transactions, st.committed, st.aborted, st.updates, st.deletes,
                             st.reopens,      st.failedItems, tl->itemLimit, tl->byteLimit};
  for (int i = 0; i < 9; ++i) {
    char* text = nullptr;
    nlsprintf(&text, kMsg20235 + i, static_cast<unsigned long long>(values[i]));
    if (text) TRACE(TR_TXN, "%s", text);
    free(text);
  }
}

}  // namespace

TxnList* hsmTlNewTransaction(Sess_o* session, TlCallback callback, int type, void* callbackData) {
  TxnList* tl = new (std::nothrow) TxnList;
  if (!tl) return nullptr;
  tl->session = session;
  tl->callback = callback;
  tl->txnType = type;
  tl->callbackData = callbackData;
  return tl;
}

int hsmTlInitialzeEx(TxnList* tl, uint64_t byteLimit, uint32_t itemLimit, uint8_t flags) {
  (void)flags;
  tl->byteLimit = byteLimit;
  tl->itemLimit = itemLimit ? itemLimit : kTlDefaultItemLimit;
  return hsmTlInit(tl);
}

void hsmTlSetTxnType(TxnList* tl, int type) { tl->txnType = type; }

int hsmTlInit(TxnList* tl) {
  emptyList(tl);
  tl->txnOpen = false;
  try {
    tl->items.reserve(tl->itemLimit);
    tl->spareItems.reserve(tl->itemLimit);
  } catch (const std::bad_alloc&) {
    return RC_NO_MEMORY;
  }
  return 0;
}

namespace {

int addItem(TxnList* tl, int kind, const fileSpec_t* fileSpec, const Attrib* attr, uint16_t flags,
            int* resultOut) {
  try {
    TxnItem item;
    if (!tl->spareItems.empty()) {
      item = std::move(tl->spareItems.back());  // its strings' buffers come along
      tl->spareItems.pop_back();
    }
    item.kind = kind;
    item.fileSpec = *fileSpec;
    item.attr = attr ? *attr : Attrib{};
    item.flags = flags;
    item.result = 0;
    item.retries = 0;
    item.resultOut = resultOut;
    item.state = kItemPending;
    tl->items.push_back(std::move(item));
  } catch (const std::bad_alloc&) {
    hsmTlAbort(tl);
    return RC_NO_MEMORY;
  }
  return 0;
}

// Sends what was queued since the last call into the open transaction while
// no vote is outstanding (see the header). A failure stops the early sending
// of this batch and is left to the flush that ends it, which acts on it as
// on its own.
void sendEarly(TxnList* tl) {
  if (tl->earlyBroken != 0 || tl->earlyFailure != 0) return;
  if (tl->votePending) {
    if (tl->items.size() % kTlVoteLookEvery != 0 || !sessAnswerArrived(tl->session)) return;
    if (int rc = settleInFlight(tl)) {
      tl->earlyFailure = rc;
      return;
    }
  }
  int rc = sendPendingItems(tl, tl->items, tl->sentEarly);
  tl->sentEarly = tl->items.size();
  if (rc < 0)
    tl->earlyBroken = rc;
  else if (rc != 0)
    tl->earlyFailure = rc;
}

}  // namespace

int hsmTlMigrObj(TxnList* tl, int kind, const fileSpec_t* fileSpec, const Attrib* attr,
                 uint16_t flags, int* resultOut) {
  if (!tl || !fileSpec) return RC_INVALID_PARM;
  if (tl->items.size() >= tl->itemLimit) {
    if (int rc = flushList(tl, false)) {
      hsmTlAbort(tl);
      return rc;
    }
  }
  int rc = addItem(tl, kind, fileSpec, attr, flags, resultOut);
  if (rc == 0) sendEarly(tl);
  return rc;
}

int hsmTlMigrDel(TxnList* tl, const fileSpec_t* fileSpec, const Attrib* attr) {
  if (!tl || !fileSpec) return RC_INVALID_PARM;
  if (tl->byteCount > tl->byteLimit || tl->items.size() >= tl->itemLimit) {
    if (int rc = flushList(tl, false)) {
      hsmTlAbort(tl);
      trNlsLogPrintf(__FILE__, __LINE__, TR_TXN, kMsg21215, rc);
      return rc;
    }
  }
  int rc = addItem(tl, kTlKindDelete, fileSpec, attr, 0, nullptr);
  if (rc == 0) sendEarly(tl);
  return rc;
}

int hsmTlEnd(TxnList* tl) {
  TREnterExit<char> ee(__FILE__, __LINE__, "hsmTlEnd()");
  if (!tl) return RC_INVALID_PARM;
  int rc = flushList(tl, true);
  if (rc) {
    hsmTlAbort(tl);
    trNlsLogPrintf(__FILE__, __LINE__, TR_TXN, kMsg20234, rc);
    return rc;
  }
  traceStats(tl);
  emptyList(tl);
  return 0;
}

int hsmTlAbort(TxnList* tl) {
  if (!tl) return 0;
  // The batch in flight was ended with a commit vote; the server's answer
  // is read so that what it committed is counted.
  if (tl->votePending && sessGetState(tl->session) == sSignedOn) {
    int givenUpReason = 0;
    receiveVote(tl, tl->inFlight, &givenUpReason);
  }
  tl->votePending = false;
  recycle(tl, tl->inFlight);
  if (tl->txnOpen && sessGetState(tl->session) == sSignedOn) {
    uint8_t vote = kVoteAbort, reason = 0;
    cuEndTxn(tl->session, &vote, &reason);
  }
  tl->txnOpen = false;
  emptyList(tl);
  return 0;
}

void hsmTlDeleteTransaction(TxnList*& tl) {
  delete tl;
  tl = nullptr;
}
