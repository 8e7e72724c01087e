// The reconcile engine's view of the storage server for one file system:
// the five operations of ZefServerCommInterface that a mode drives. The mode
// holds its server through this interface so that the engine can be run
// against a scripted server in tests; in the program the link is always the
// real ZefServerCommInterface (serverlink_zef.cpp).
//
// Contract
// - All operations run on the mode's (main) thread.
// - Results are the client's return codes, 0 for success.
// - getNextMigrObjectFromServer hands the element's ownership to the caller;
//   null means no element could be delivered (errno tells why).
#ifndef KMR_RECONCILE_SERVERLINK_H
#define KMR_RECONCILE_SERVERLINK_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class cQueueBaseObject;
class ZefServerMigratedObject;

class ReconcileServerLink {
 public:
  virtual ~ReconcileServerLink() = default;
  virtual int beginTransaction() = 0;
  virtual int getAllMigrObjectsFromServer(int ordering) = 0;
  virtual cQueueBaseObject* getNextMigrObjectFromServer() = 0;
  virtual int updateMigrObjectOnServer(ZefServerMigratedObject* obj, int flags) = 0;
  virtual int stopTransaction() = 0;
  // Updates the server has committed so far in this link's transactions;
  // an update that is queued, voided or lost with the connection is not.
  virtual uint64_t committedUpdates() const = 0;
  // False when the server does not know the file system's file space (a
  // link that may not register it): its stream is empty.
  virtual bool fileSpaceKnown() const { return true; }
};

// Creates the link of a run on `fileSystem` (signed on, file space known).
// On failure returns null or sets *rc to the non-zero code of the failure.
using ReconcileServerLinkFactory =
    std::function<std::unique_ptr<ReconcileServerLink>(int* rc, const std::string& fileSystem)>;

// The real server's factory.
std::unique_ptr<ReconcileServerLink> createZefServerLink(int* rc, const std::string& fileSystem);
// The real server for a preview: signed on like the run's link, but it never
// registers the file space; where the server has none, the link says so
// (fileSpaceKnown) and streams nothing. It is never asked for a transaction.
std::unique_ptr<ReconcileServerLink> createZefQueryLink(int* rc, const std::string& fileSystem);

// What the reconcile engine needs from outside itself. The front end builds
// one (frontend/wiring.h) and hands it to the facade, which gives it to each
// mode it makes; a test or benchmark builds its own with a scripted server.
// - The facade and the mode keep a copy; a factory that captures state must
//   keep that state alive while a mode of theirs exists.
// - The factory is called on the thread that constructs the mode.
struct ReconcileEnv {
  ReconcileServerLinkFactory serverLink = &createZefServerLink;
  // The link of a preview (the front end wires createZefQueryLink); empty:
  // a preview uses serverLink too, as a scripted server does.
  ReconcileServerLinkFactory queryLink = nullptr;
};

// Report of a server return code that ends or mars a run: a trace line under
// SMRECONCILE (the server layer has already printed its own message).
void reconcileProcessError(int rc, const char* file, unsigned line);

#endif
