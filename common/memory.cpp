// Guarded allocator and memory pools.
#include "common/memory.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/errorlog.h"
#include "common/messages.h"
#include "common/msgnum.h"
#include "common/trace.h"

namespace {

// ---- guarded blocks -------------------------------------------------------------
unsigned char* headOf(const void* block) {
  return static_cast<unsigned char*>(const_cast<void*>(block)) - 8;
}
uint32_t readWord(const unsigned char* p) {
  uint32_t w;
  memcpy(&w, p, sizeof w);
  return w;
}
void writeWord(unsigned char* p, uint32_t w) { memcpy(p, &w, sizeof w); }

void* finishBlock(unsigned char* raw, size_t size) {
  writeWord(raw, kGuardWord);
  writeWord(raw + 4, static_cast<uint32_t>(size + kGuardOverhead));
  writeWord(raw + 8 + size, kGuardWord);
  return raw + 8;
}

bool sizeFits(size_t size) { return size <= UINT32_MAX - kGuardOverhead; }

// A new guarded block of `size` caller bytes, zeroed when asked; null when
// the size does not fit the size field or the heap has no room.
void* newGuardedBlock(size_t size, bool zeroed) {
  if (!sizeFits(size)) return nullptr;
  void* raw = zeroed ? calloc(1, size + kGuardOverhead) : malloc(size + kGuardOverhead);
  return raw ? finishBlock(static_cast<unsigned char*>(raw), size) : nullptr;
}

// A violation is traced when MEMORY or ERROR is on and always logged: an
// overwrite is a program fault that must not go unnoticed.
void reportViolation(const char* what, const void* block, const char* file, int line) {
  char text[512];
  snprintf(text, sizeof text, "%s invalid, possible memory overwrite. Addr %p, File %s, Line %d\n",
           what, block, file, line);
  if (TR_MEMORY || TR_ERROR) trPrintf(file, static_cast<unsigned>(line), "%s", text);
  LogMsg(text);
}

}  // namespace

int chkSnake(const void* block, const char* file, int line) {
  if (!block) return -1;
  const unsigned char* raw = headOf(block);
  if (readWord(raw) != kGuardWord) {
    reportViolation("Block header", block, file, line);
    return -1;
  }
  uint32_t total = readWord(raw + 4);
  if (total < kGuardOverhead || readWord(raw + 8 + (total - kGuardOverhead)) != kGuardWord) {
    reportViolation("Block trailer", block, file, line);
    return -1;
  }
  return 0;
}

void* kmrMalloc(size_t size, const char* file, int line) {
  void* block = newGuardedBlock(size, false);
  const TRACE_Fkt trace(file, static_cast<unsigned>(line));
  if (block)
    trace(TR_MEMORY, "KMREM(+) Addr %p Size %ld File %s Line %d\n", block, static_cast<long>(size), file,
          line);
  else
    trace(TR_MEMORY, "Alloc failed: Size %ld File %s Line %d\n", static_cast<long>(size), file, line);
  return block;
}

void* kmrCalloc(size_t count, size_t size, const char* file, int line) {
  size_t bytes;  // the wrapped product on overflow, as the failure trace shows it
  const bool overflow = __builtin_mul_overflow(count, size, &bytes);
  void* block = overflow ? nullptr : newGuardedBlock(bytes, true);
  const TRACE_Fkt trace(file, static_cast<unsigned>(line));
  if (block)
    trace(TR_MEMORY, "KMREM(c+) Addr %p Size %ld Count %ld File %s Line %d\n", block, static_cast<long>(size),
          static_cast<long>(count), file, line);
  else
    trace(TR_MEMORY, "calloc() failed: Size %ld File %s Line %d\n", static_cast<long>(bytes), file, line);
  return block;
}

void* kmrRealloc(void* block, size_t size, const char* file, int line) {
  if (!block) return kmrMalloc(size, file, line);
  if (chkSnake(block, file, line) != 0) return nullptr;
  auto* raw = sizeFits(size)
                  ? static_cast<unsigned char*>(realloc(headOf(block), size + kGuardOverhead))
                  : nullptr;
  if (!raw) {
    TRACE_Fkt(file, line)(TR_MEMORY, "Realloc failed: Old addr %p New Size %ld File %s Line %d\n",
                          block, static_cast<long>(size), file, line);
    return nullptr;
  }
  void* moved = finishBlock(raw, size);
  TRACE_Fkt(file, line)(TR_MEMORY, "KMREM(r+) naddr %p oaddr %p nsize %ld File %s Line %d\n", moved,
                        block, static_cast<long>(size), file, line);
  return moved;
}

void kmrFree(void* block, const char* file, int line) {
  if (!block) {
    TRACE_Fkt(file, line)(TR_MEMORY, "Attempt to free NULL pointer. File %s Line %d\n", file, line);
    char text[512];
    snprintf(text, sizeof text, "Attempt to free NULL pointer. File %s Line %d\n", file, line);
    LogMsg(text);
    return;
  }
  if (chkSnake(block, file, line) != 0) return;
  TRACE_Fkt(file, line)(TR_MEMORY, "KMREM(-) Addr %p File %s Line %d\n", block, file, line);
  free(headOf(block));
}

// ---- memory pools -----------------------------------------------------------------
namespace {

struct Chunk {
  uint32_t used;
  uint32_t free;
  Chunk* next;
  unsigned char* bytes() { return reinterpret_cast<unsigned char*>(this) + kChunkHeader; }
};
static_assert(sizeof(Chunk) == kChunkHeader, "chunk header layout");

// Ends every chunk list; it has no room, so it always sorts last.
Chunk g_sentinel{0, 0, nullptr};

struct PoolEntry {
  uint32_t increment = 0;     // bytes; 0 = entry not in use
  uint32_t defaultChunk = 0;  // usable bytes of a regular chunk
  Chunk* chunks = &g_sentinel;
  int nextFree = 0;           // handle of the next free entry, 0 = none
  bool sharedMemory = false;  // shared-memory pools aren't used by this command
  int sharedMemoryId = -1;
  bool full = false;
  int handle = 0;
};

std::mutex g_poolMutex;
std::vector<PoolEntry> g_pools;  // g_pools[h - 1] is the pool of handle h
int g_firstFree = 0;
char g_emptyString[1] = "";

bool validHandle(mpHandle_t h) {
  return h >= 1 && static_cast<size_t>(h) <= g_pools.size() && g_pools[h - 1].increment != 0;
}

// Grows the table by 520 entries, or by TESTFLAGS MEMPOOLSIZE when set.
bool growTable() {
  size_t by = 520;
  if (TEST_MEMPOOLSIZE.set && TEST_MEMPOOLSIZE.numValue > 0)
    by = static_cast<size_t>(TEST_MEMPOOLSIZE.numValue);
  size_t old = g_pools.size();
  try {
    g_pools.resize(old + by);
  } catch (const std::bad_alloc&) {
    return false;
  }
  // Chain the new entries so that the lowest handle is used first.
  for (size_t i = old; i < old + by; ++i) {
    g_pools[i].handle = static_cast<int>(i + 1);
    g_pools[i].nextFree = (i + 1 < old + by) ? static_cast<int>(i + 2) : g_firstFree;
  }
  g_firstFree = static_cast<int>(old + 1);
  return true;
}

// Puts `chunk` back into the list so that free space stays descending.
void insertOrdered(PoolEntry& pool, Chunk* chunk) {
  Chunk** link = &pool.chunks;
  while (*link != &g_sentinel && (*link)->free > chunk->free) link = &(*link)->next;
  chunk->next = *link;
  *link = chunk;
}

void unlink(PoolEntry& pool, Chunk* chunk) {
  for (Chunk** link = &pool.chunks; *link != &g_sentinel; link = &(*link)->next) {
    if (*link == chunk) {
      *link = chunk->next;
      return;
    }
  }
}

void freeChunks(PoolEntry& pool) {
  for (Chunk* c = pool.chunks; c != &g_sentinel;) {
    Chunk* next = c->next;
    kmrFree(c, __FILE__, __LINE__);
    c = next;
  }
  pool.chunks = &g_sentinel;
}

}  // namespace

mpHandle_t kmrpCreate(int incrementKB, const char* file, int line) {
  std::lock_guard<std::mutex> lock(g_poolMutex);
  if (!g_firstFree && !growTable()) {
    TRACE_Fkt(file, line)(TR_MEMORY, "kmrpCreate: pool table can't grow\n");
    return -1;
  }
  PoolEntry& pool = g_pools[g_firstFree - 1];
  g_firstFree = pool.nextFree;
  pool.nextFree = 0;
  pool.increment = incrementKB <= 1 ? 2048u : static_cast<uint32_t>(incrementKB) * 1024u;
  pool.defaultChunk = pool.increment - kChunkHeader;
  pool.chunks = &g_sentinel;
  pool.full = false;
  TRACE_Fkt(file, line)(TR_MEMORY, "kmrpCreate: pool %d increment %u File %s Line %d\n",
                        pool.handle, pool.increment, file, line);
  return pool.handle;
}

void* mpAlloc(mpHandle_t handle, long size) {
  std::lock_guard<std::mutex> lock(g_poolMutex);
  if (!validHandle(handle)) {
    TRACE(TR_MEMORY, "mpAlloc: invalid pool handle %d\n", handle);
    return nullptr;
  }
  if (size <= 0) {
    trNlsLogPrintf(__FILE__, __LINE__, TR_MEMORY, kMsg21155, handle, size);
    return nullptr;
  }
  if (size > static_cast<long>(UINT32_MAX - kChunkHeader - kGuardOverhead - 8)) return nullptr;
  PoolEntry& pool = g_pools[handle - 1];
  uint32_t n = static_cast<uint32_t>((size + 7) & ~7L);
  if (pool.full) return nullptr;

  Chunk* chunk;
  if (n > pool.chunks->free) {
    uint32_t usable = n > pool.defaultChunk ? n : pool.defaultChunk;
    chunk = static_cast<Chunk*>(kmrMalloc(kChunkHeader + usable, __FILE__, __LINE__));
    if (!chunk) {
      pool.full = true;
      if (TR_MEMORY) trNlsLogPrintf(__FILE__, __LINE__, TR_MEMORY, kMsg21157, handle, size);
      return nullptr;
    }
    chunk->used = 0;
    chunk->free = usable;
    chunk->next = pool.chunks;
    pool.chunks = chunk;
  } else {
    // Best fit: the last chunk (least free space) that still has room.
    chunk = pool.chunks;
    for (Chunk* c = chunk->next; c != &g_sentinel && c->free >= n; c = c->next) chunk = c;
  }
  void* memory = chunk->bytes() + chunk->used;
  chunk->used += n;
  chunk->free -= n;
  unlink(pool, chunk);
  insertOrdered(pool, chunk);
  if (TR_MEMORY) trNlsLogPrintf(__FILE__, __LINE__, TR_MEMORY, kMsg21158, handle, size, memory);
  return memory;
}

char* mpStrDup(mpHandle_t handle, const char* text) {
  if (!text || !*text) return g_emptyString;
  size_t len = strlen(text);
  auto* copy = static_cast<char*>(mpAlloc(handle, static_cast<long>(len + 1)));
  if (copy) memcpy(copy, text, len + 1);
  return copy;
}

void kmrpDestroy(mpHandle_t handle, const char* file, int line) {
  std::lock_guard<std::mutex> lock(g_poolMutex);
  if (!validHandle(handle)) {
    trNlsLogPrintf(file, static_cast<unsigned>(line), TR_MEMORY, kMsg21153, handle);
    return;
  }
  PoolEntry& pool = g_pools[handle - 1];
  bool wasFull = pool.full;
  freeChunks(pool);
  pool.increment = pool.defaultChunk = 0;
  pool.full = false;
  pool.nextFree = g_firstFree;
  g_firstFree = handle;
  // A full pool means the heap ran dry; memory came back, so all may retry.
  if (wasFull)
    for (PoolEntry& p : g_pools) p.full = false;
}

void mpDestroyAll() {
  std::lock_guard<std::mutex> lock(g_poolMutex);
  for (PoolEntry& p : g_pools) freeChunks(p);
  g_pools.clear();
  g_pools.shrink_to_fit();
  g_firstFree = 0;
}

size_t mpTableSize() {
  std::lock_guard<std::mutex> lock(g_poolMutex);
  return g_pools.size();
}

size_t mpChunkFree(mpHandle_t handle, uint32_t* freeBytes, size_t max) {
  std::lock_guard<std::mutex> lock(g_poolMutex);
  if (!validHandle(handle)) return 0;
  size_t count = 0;
  for (Chunk* c = g_pools[handle - 1].chunks; c != &g_sentinel; c = c->next, ++count)
    if (count < max) freeBytes[count] = c->free;
  return count;
}
