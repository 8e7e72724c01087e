// Storage pool ids of an ORCA file system, from the ORCA library loaded at
// run time (so the program also starts where the library is absent).
//
// Contract
// - OrcaStoragePoolFunctions resolves its entry points once, in Init(); an
//   entry point that cannot be resolved stays empty and its wrapper fails
//   with -1 / EINVAL.
// - getStoragePoolIds throws cTextException carrying only the system error
//   text when the library call fails.
// - The singleton is created on first use without a lock: first use belongs
//   to the main thread.
#ifndef KMR_HSMFS_POOLS_H
#define KMR_HSMFS_POOLS_H

#include <string>
#include <vector>

#include "hsmfs/hsmsettings.h"

inline constexpr unsigned kOrcaPoolCursorEnd = 0xFFFFFFFFu;
inline constexpr int kOrcaStatfspoolRecordLen = 88;
inline constexpr int kOrcaPoolIdOffset = 48;

class OrcaStoragePoolFunctions {
 public:
  typedef int (*statfspool_fn)(const char*, unsigned*, unsigned, int*, void*, int);
  typedef int (*getpoolname_fn)(const char*, unsigned, char*, int);

  // `library` is handed to dlopen as it stands (a bare name uses the
  // loader's search path).
  explicit OrcaStoragePoolFunctions(std::string library = kOrcaLibraryName);
  ~OrcaStoragePoolFunctions();
  OrcaStoragePoolFunctions(const OrcaStoragePoolFunctions&) = delete;
  OrcaStoragePoolFunctions& operator=(const OrcaStoragePoolFunctions&) = delete;

  void Init();
  int Orca_statfspool(const char* fsName, unsigned* poolCursor, unsigned options, int* poolCount, void* buffer,
                      int bufferSize);
  int Orca_getpoolname(const char* fsName, unsigned poolId, char* name, int nameLength);

 private:
  std::string m_library;
  void* m_dl = nullptr;
  statfspool_fn m_statfspool = nullptr;
  getpoolname_fn m_getpoolname = nullptr;
};

// The process's instance over "liborca.so", initialised on first use.
OrcaStoragePoolFunctions& getOrcaStoragePoolFunctions();

class StoragePoolUtil {
 public:
  // Pool ids of `fsName` in library order; throws cTextException.
  static void getStoragePoolIds(const std::string& fsName, std::vector<unsigned>& ids);
  static void getStoragePoolIds(const std::string& fsName, std::vector<unsigned>& ids,
                                OrcaStoragePoolFunctions& functions);
};

#endif
