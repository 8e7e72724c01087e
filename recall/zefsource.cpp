#include "recall/zefsource.h"

#include <cstdint>
#include <new>

#include "common/rc.h"

int ZefRecallSource::read(const std::string& fsName, const midExtObjId_t& id, const DataSink& sink,
                          const DigestCheck& check) {
  std::unique_ptr<ZefServerDataInterface>& link = m_links[fsName];
  if (!link) {
    int rc = 0;
    link.reset(new (std::nothrow) ZefServerDataInterface(rc, fsName));
    if (!link) return RC_NO_MEMORY;
    // A link that could not sign on is made anew next time: the server may
    // be back by then.
    if (rc != 0) {
      link.reset();
      return rc;
    }
  }
  return link->readObjectData(id, 0, UINT64_MAX, sink, nullptr, check);
}
