// ZefServerMigratedObject: one migrated object as the storage server knows it
// (external object id, alias path, file space id, the file's attributes with
// its DMAPI handle, media class, restore order, migration state).
//
// Contract
// - A new record is empty: no id, an empty handle, no attributes, empty
//   strings, zero numbers. The id and the attributes are private copies of
//   exactly 28 and 168 bytes held in the record itself (a record costs one
//   allocation, which matters at a million records handed between threads);
//   the handle is a value.
// - Setters return 1, or 0 for a null argument; on 0 they trace under
//   SMRECONCILE and leave the field as it was. A second call of a setter
//   replaces the earlier copy.
// - isObjectExpired and setFileMigrState require the attributes to be set.
// - Nothing locks; the record is used by one thread at a time and is handed
//   on through the queue, never shared. No operation throws.
#ifndef KMR_SERVER_MIGOBJECT_H
#define KMR_SERVER_MIGOBJECT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/attrib.h"
#include "server/queueobjects.h"
#include "server/serverattrib.h"
#include "server/verbcodec.h"

// Media classes as the server reports them.
constexpr uint8_t kMediaClassFixed = 16;
constexpr uint8_t kMediaClassLibrary = 32;
constexpr uint8_t kMediaClassNetwork = 48;
constexpr uint8_t kMediaClassShelf = 64;
constexpr uint8_t kMediaClassOffsite = 80;
constexpr uint8_t kMediaClassUnavailable = 240;

// Migration states this client writes.
constexpr unsigned kMigStateMigrated = 2;
constexpr unsigned kMigStateExpired = 3;

class ZefServerMigratedObject : public queueDataObject {
 public:
  ZefServerMigratedObject();
  ~ZefServerMigratedObject() override;

  int setExtObjID(const midExtObjId_t* id);
  void setDmapiHandle(const DmHandle& handle) { dmapiHandle = handle; }
  int setAttributes(const Attrib* attr);

  // The id as 56 upper-case hex digits, cached until the next setExtObjID.
  // Without an id: traces and returns the (empty) cache.
  std::string& getExtObjIDString();
  // "fixed", "library", "network", "shelf", "offsite", "unavailable" or
  // "UNKNOWN".
  std::string getMediaClassName() const;
  bool isObjectExpired() const;
  // Stores state & 3 in the migration state bits; state 3 (expired) first
  // stamps atime with the current time.
  void setFileMigrState(unsigned int state);
  std::string& getAlias() override { return alias; }
  // The multi-line dump for trace lines; "\n" alone when SMRECONCILEDETAIL
  // is off, so a disabled trace costs nothing.
  std::string toString();

  // Read access to what the record owns: the id and the attributes are null
  // when never set, the handle is then empty. The record keeps ownership.
  const midExtObjId_t* getExtObjID() const { return extObjId ? &*extObjId : nullptr; }
  const DmHandle& getDmapiHandle() const { return dmapiHandle; }
  Attrib* getAttributes() { return attributes ? &*attributes : nullptr; }
  const Attrib* getAttributes() const { return attributes ? &*attributes : nullptr; }

  // Plain fields, written directly by the fillers.
  std::string alias;
  uint32_t fsId = 0;
  uint8_t mediaClass = 0;
  uint32_t restoreOrder[kRestoreOrderWords] = {0, 0, 0, 0, 0};

 private:
  std::optional<midExtObjId_t> extObjId;
  std::string extObjIdString;
  DmHandle dmapiHandle;
  std::optional<Attrib> attributes;
};

// Fills an empty record from one answer: alias, id, file space id, attributes,
// the DMAPI handle of the attributes' handle form (empty for the object id
// form), media class and restore order. Returns 1, or 0 when a
// copy could not be allocated (the record is then partly filled).
int fillMigratedObject(ZefServerMigratedObject& obj, const MigrQueryAnswer& answer);
// The same, taking the answer's path over instead of copying it (the
// answer's path is left empty).
int fillMigratedObject(ZefServerMigratedObject& obj, MigrQueryAnswer&& answer);

#endif
