// Memory services: a guarded heap allocator that detects overwrites at both
// ends of a block, and memory pools from which many small same-lifetime
// objects are carved and released as a whole.
//
// Contract
// - Guarded block layout: guard word 0xABCDDCBA, 32-bit total size (request
//   plus 12), the caller's bytes, guard word 0xABCDDCBA directly behind them.
//   The caller gets the address of its bytes.
// - kmrMalloc/kmrCalloc/kmrRealloc return nullptr on failure (traced); the
//   caller reports the out-of-memory error itself. A request that doesn't fit
//   the 32-bit size field fails the same way.
// - kmrFree and kmrRealloc check both guards first; a damaged block is never
//   freed nor moved: the violation is traced and logged and the call returns.
// - Blocks are released only with kmrFree; the allocator takes no lock.
// - Pools: handles start at 1. Every pool operation takes the pool mutex, so
//   any thread may call them. Memory from a pool lives until kmrpDestroy or
//   mpDestroyAll; it is never freed piece by piece.
// - Pool memory is aligned to 8 bytes: requests are rounded up to a multiple
//   of 8 so that the records carved from a pool (pointers, 64-bit fields) are
//   always aligned.
#ifndef KMR_COMMON_MEMORY_H
#define KMR_COMMON_MEMORY_H

#include <cstddef>
#include <cstdint>

constexpr uint32_t kGuardWord = 0xABCDDCBA;
constexpr size_t kGuardOverhead = 12;

void* kmrMalloc(size_t size, const char* file, int line);
void* kmrCalloc(size_t count, size_t size, const char* file, int line);
// nullptr block behaves as kmrMalloc; on failure the old block stays valid.
void* kmrRealloc(void* block, size_t size, const char* file, int line);
void kmrFree(void* block, const char* file, int line);
// 0 when both guard words are intact, -1 (traced) otherwise.
int chkSnake(const void* block, const char* file, int line);

#define kmrMALLOC(n) kmrMalloc((n), __FILE__, __LINE__)
#define kmrCALLOC(c, n) kmrCalloc((c), (n), __FILE__, __LINE__)
#define kmrREALLOC(p, n) kmrRealloc((p), (n), __FILE__, __LINE__)
#define kmrFREE(p) kmrFree((p), __FILE__, __LINE__)
#define kmrCHKSNAKE(p) chkSnake((p), __FILE__, __LINE__)

// ---- memory pools -------------------------------------------------------------
typedef int mpHandle_t;

// Creates a pool that grows by `incrementKB` kilobytes (2048 bytes for 1 or
// less). Returns the handle, or -1 when the pool table can't grow.
mpHandle_t kmrpCreate(int incrementKB, const char* file, int line);
// Carves `size` bytes (rounded up to a multiple of 8). nullptr for a bad
// handle, a size of 0 or less (message 21155), a full pool or a failed chunk.
void* mpAlloc(mpHandle_t handle, long size);
// Copies text into the pool; an empty text gives a shared empty string.
char* mpStrDup(mpHandle_t handle, const char* text);
// Frees a pool with all its chunks; a bad handle gives message 21153.
void kmrpDestroy(mpHandle_t handle, const char* file, int line);
// Frees every pool and the table (end of the process).
void mpDestroyAll();

#define kmrpCREATE(k) kmrpCreate((k), __FILE__, __LINE__)
#define kmrpDESTROY(h) kmrpDestroy((h), __FILE__, __LINE__)

// Inspection for diagnostics and tests: the pool table's size, and the free
// bytes of a pool's chunks in list order (largest first). Returns the number
// of chunks; writes at most `max` entries.
size_t mpTableSize();
size_t mpChunkFree(mpHandle_t handle, uint32_t* freeBytes, size_t max);

// Chunk header bytes in front of a chunk's usable bytes.
constexpr size_t kChunkHeader = 16;

#endif
