// The query thread's source over a real, signed-on server session: the
// session verbs cuBeginTxn, cuMigrQryAll and cuGetMigrQryResp behind the
// MigrQuerySource interface.
//
// Contract
// - The source owns its session and signs it off (deletes it) when
//   destroyed. It is used by one thread at a time (see MigrQuerySource).
// - While attached to a thread (the query thread calls attach/detach on
//   itself) the session is that thread's entry in the clean-up's session
//   table; detaching clears the entry.
#ifndef KMR_SERVER_QUERYSOURCE_H
#define KMR_SERVER_QUERYSOURCE_H

#include <memory>

#include "common/options.h"
#include "server/migrquerysource.h"
#include "server/session.h"

class SessionMigrQuerySource : public MigrQuerySource {
 public:
  // Takes ownership of `session` (one reference), which must be signed on.
  explicit SessionMigrQuerySource(Sess_o* session);
  ~SessionMigrQuerySource() override;
  SessionMigrQuerySource(const SessionMigrQuerySource&) = delete;
  SessionMigrQuerySource& operator=(const SessionMigrQuerySource&) = delete;

  int beginTxn() override;
  int queryAll(uint32_t fsId, uint8_t objectType, uint8_t ordering) override;
  int next(MigrQueryAnswer& answer) override;
  void attachToCallingThread() override;
  void detachFromCallingThread() override;

  Sess_o* session() const { return m_Session; }

 private:
  Sess_o* m_Session;
  bool m_Attached = false;
};

// Creates a session from `opts` and signs it on. Returns 0 and the source
// in *out, or the failure: a settings code of fillSessionConfig, 102 when the
// session cannot be created, or the sign-on result of CheckSession.
int openQuerySource(const clientOptions& opts, std::unique_ptr<MigrQuerySource>* out);

#endif
