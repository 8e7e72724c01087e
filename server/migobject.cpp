#include "server/migobject.h"

#include <cstring>
#include <ctime>
#include <iomanip>
#include <new>
#include <sstream>
#include <utility>

#include "common/showable.h"
#include "common/messages.h"
#include "common/trace.h"

namespace {

const char kClassName[] = "ZefServerMigratedObject";

std::string localTimeText(uint32_t seconds) {
  char date[32] = "";
  char clock[32] = "";
  dateFmt(static_cast<time_t>(seconds), date, clock);
  std::string text = date;
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text + " " + clock;
}

// Replaces `slot` with a copy of *value. 1, or 0 (traced, the slot
// unchanged) for a null value.
template <typename T>
int copyInto(std::optional<T>& slot, const T* value, const char* what) {
  if (!value) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> Passed %s is NULL!\n", kClassName, what);
    return 0;
  }
  memcpy(&slot.emplace(), value, sizeof *value);
  return 1;
}

}  // namespace

ZefServerMigratedObject::ZefServerMigratedObject() = default;
ZefServerMigratedObject::~ZefServerMigratedObject() = default;

int ZefServerMigratedObject::setExtObjID(const midExtObjId_t* id) {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerMigratedObject::setExtObjID()");
  if (!copyInto(extObjId, id, "extObjID")) return 0;
  extObjIdString.clear();
  return 1;
}

int ZefServerMigratedObject::setAttributes(const Attrib* attr) {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerMigratedObject::setAttributes()");
  return copyInto(attributes, attr, "Attrib structure");
}

std::string& ZefServerMigratedObject::getExtObjIDString() {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerMigratedObject::getExtObjIDString()");
  if (!extObjId) {
    TRACE(TR_SMRECONCILE, "(%s): FAILURE -> extObjID to return is NULL!\n", kClassName);
    return extObjIdString;
  }
  if (extObjIdString.empty()) extObjIdString = extObjIdHex(*extObjId);
  return extObjIdString;
}

std::string ZefServerMigratedObject::getMediaClassName() const {
  switch (mediaClass) {
    case kMediaClassFixed: return "fixed";
    case kMediaClassLibrary: return "library";
    case kMediaClassNetwork: return "network";
    case kMediaClassShelf: return "shelf";
    case kMediaClassOffsite: return "offsite";
    case kMediaClassUnavailable: return "unavailable";
    default: return "UNKNOWN";
  }
}

bool ZefServerMigratedObject::isObjectExpired() const {
  return attribMigState(*attributes) == kMigStateExpired;
}

void ZefServerMigratedObject::setFileMigrState(unsigned int state) {
  TREnterExit<char> ee(__FILE__, __LINE__, "ZefServerMigratedObject::setFileMigrState()");
  if (state == kMigStateExpired) attributes->atime = static_cast<uint32_t>(time(nullptr));
  attribSetMigState(*attributes, state & 3);
}

std::string ZefServerMigratedObject::toString() {
  if (!TR_SMRECONCILEDETAIL) return "\n";
  std::ostringstream out;
  auto line = [&out](const char* label) -> std::ostream& {
    return out << std::setw(25) << std::right << label << " : ";
  };
  out << "\n=== ZEF Server Migrated Object ===\n\n";
  line("alias") << clShowable(alias) << "\n";
  line("handle") << dmapiHandle.hex() << "\n";
  line("handle length") << dmapiHandle.size() << "\n";
  line("extObjID") << getExtObjIDString() << "\n";
  line("fsID") << fsId << "\n";
  const Attrib empty{};
  const Attrib& a = attributes ? *attributes : empty;
  line("file size") << a.size << "\n";
  line("inode") << a.inode << "\n";
  line("uid") << a.uid << "\n";
  line("gid") << a.gid << "\n";
  line("mode") << a.mode << "\n";
  line("mtime") << localTimeText(a.mtime) << "\n";
  line("ctime") << localTimeText(a.ctime) << "\n";
  line("atime") << localTimeText(a.atime) << "\n";
  line("media class") << getMediaClassName() << "\n";
  line("restore order");
  for (size_t i = 0; i < kRestoreOrderWords; ++i) {
    if (i) out << '-';
    out << std::setw(8) << std::setfill('0') << std::hex << std::uppercase << restoreOrder[i]
        << std::setfill(' ') << std::dec << std::nouppercase;
  }
  out << "\n\n";
  return out.str();
}

namespace {
int fillAllButAlias(ZefServerMigratedObject& obj, const MigrQueryAnswer& answer) {
  obj.fsId = answer.fsId;
  obj.mediaClass = answer.serverAttrib.mediaClass;
  memcpy(obj.restoreOrder, answer.serverAttrib.restoreOrder, sizeof obj.restoreOrder);
  obj.setDmapiHandle(attribHandle(answer.attrib));
  return obj.setExtObjID(&answer.objId) & obj.setAttributes(&answer.attrib);
}
}  // namespace

int fillMigratedObject(ZefServerMigratedObject& obj, const MigrQueryAnswer& answer) {
  obj.alias = answer.path;
  return fillAllButAlias(obj, answer);
}

int fillMigratedObject(ZefServerMigratedObject& obj, MigrQueryAnswer&& answer) {
  obj.alias = std::move(answer.path);
  return fillAllButAlias(obj, answer);
}
