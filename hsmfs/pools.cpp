#include "hsmfs/pools.h"

#include <dlfcn.h>
#include <errno.h>

#include <cstdint>
#include <cstring>

#include "common/messages.h"
#include "common/textexception.h"
#include "common/trace.h"

OrcaStoragePoolFunctions::OrcaStoragePoolFunctions(std::string library) : m_library(std::move(library)) {}

OrcaStoragePoolFunctions::~OrcaStoragePoolFunctions() {
  if (m_dl) dlclose(m_dl);
}

void OrcaStoragePoolFunctions::Init() {
  m_dl = dlopen(m_library.c_str(), RTLD_NOW);
  if (!m_dl) {
    TRACE(TR_SM, "OrcaStoragePoolFunctions::Init: %s\n", dlerror());
    return;
  }
  m_statfspool = reinterpret_cast<statfspool_fn>(dlsym(m_dl, "orca_statfspool"));
  m_getpoolname = reinterpret_cast<getpoolname_fn>(dlsym(m_dl, "orca_getpoolname"));
}

int OrcaStoragePoolFunctions::Orca_statfspool(const char* fsName, unsigned* poolCursor, unsigned options,
                                              int* poolCount, void* buffer, int bufferSize) {
  if (!m_statfspool) {
    errno = EINVAL;
    return -1;
  }
  return m_statfspool(fsName, poolCursor, options, poolCount, buffer, bufferSize);
}

int OrcaStoragePoolFunctions::Orca_getpoolname(const char* fsName, unsigned poolId, char* name, int nameLength) {
  if (!m_getpoolname) {
    errno = EINVAL;
    return -1;
  }
  return m_getpoolname(fsName, poolId, name, nameLength);
}

OrcaStoragePoolFunctions& getOrcaStoragePoolFunctions() {
  static OrcaStoragePoolFunctions* functions = [] {
    auto* f = new OrcaStoragePoolFunctions();  // lives as long as the process
    f->Init();
    return f;
  }();
  return *functions;
}

void StoragePoolUtil::getStoragePoolIds(const std::string& fsName, std::vector<unsigned>& ids) {
  getStoragePoolIds(fsName, ids, getOrcaStoragePoolFunctions());
}

namespace {
[[noreturn]] void throwPoolFailure(const std::string& fsName) {
  int err = errno;
  TRACE(TR_SM, "%s: Could not orca_statfspool the filesystem '%s'\n", hsmWhoAmI(), fsName.c_str());
  throw cTextException("%s", strerror(err));
}
}  // namespace

void StoragePoolUtil::getStoragePoolIds(const std::string& fsName, std::vector<unsigned>& ids,
                                        OrcaStoragePoolFunctions& functions) {
  ids.clear();
  unsigned cursor = 0;
  int count = 0;
  int rc = functions.Orca_statfspool(fsName.c_str(), &cursor, 0, &count, nullptr, 0);
  if (rc == -1) throwPoolFailure(fsName);
  while (rc == 0 && cursor != kOrcaPoolCursorEnd) {
    uint8_t record[kOrcaStatfspoolRecordLen] = {};
    count = 1;
    rc = functions.Orca_statfspool(fsName.c_str(), &cursor, 0, &count, record, sizeof record);
    if (rc == -1) throwPoolFailure(fsName);
    uint32_t id = 0;
    memcpy(&id, record + kOrcaPoolIdOffset, sizeof id);
    ids.push_back(id);
  }
  TRACE(TR_SM, "%s: ORCA filesystem '%s' has %u storage pools.\n", hsmWhoAmI(), fsName.c_str(),
        static_cast<unsigned>(ids.size()));
}
