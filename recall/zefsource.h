// The recall source of the daemon: object data from the storage server,
// through the client's data interface (server/datainterface.h).
//
// Contract
// - One ZefRecallSource belongs to one worker thread. It keeps one signed-on
//   session per managed file system (the stanza of each may name another
//   server) for its whole life, and signs on again on the next read after a
//   failure: an event never costs a connection of its own.
#ifndef KMR_RECALL_ZEFSOURCE_H
#define KMR_RECALL_ZEFSOURCE_H

#include <map>
#include <memory>
#include <string>

#include "recall/recall.h"

class ZefRecallSource : public RecallSource {
 public:
  int read(const std::string& fsName, const midExtObjId_t& id, const DataSink& sink,
           const DigestCheck& check) override;

 private:
  std::map<std::string, std::unique_ptr<ZefServerDataInterface>> m_links;
};

#endif
