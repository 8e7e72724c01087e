#include "zefserver/adm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "zefserver/datastore.h"
#include "zefserver/jsonl.h"
#include "zefserver/migrate.h"
#include "zefserver/password.h"
#include "zefserver/store.h"
#include "zefserver/wire.h"

namespace zef {

namespace {

constexpr size_t kMaxPathLen = 4096;
const char* kRegisterUsage = "register-node NODE [--password-fd FD | --password-file FILE]";
const char* kSetPasswordUsage = "set-password NODE [--password-fd FD | --password-file FILE]";
const char* kDefaultFsType = "ORCA";

// Thrown by subcommands for a failure the user must see; the text is the message.
struct AdmError {
  std::string text;
  int status = 1;
};

struct Ctx {
  Store& store;
  std::vector<std::string> args;  // subcommand arguments, options removed
  std::string prefix = "/gen";
  FILE* out;
  FILE* err;
  int passwordFd = -1;       // --password-fd
  std::string passwordFile;  // --password-file
  std::string dataDir;       // --data-dir, else beside the database
};

std::unique_ptr<DataDir> openDataDir(const Ctx& c) {
  std::string error;
  auto d = DataDir::open(c.dataDir, error);
  if (!d) throw AdmError{error};
  return d;
}

// The new password of `node`: from the descriptor, the file or the terminal,
// in that order of preference. Never from the command line.
std::string newPassword(const Ctx& c, const std::string& node) {
  try {
    if (c.passwordFd >= 0) return readPasswordFromFd(c.passwordFd);
    if (!c.passwordFile.empty()) return readPasswordFile(c.passwordFile);
    return promptNewPassword(node);
  } catch (const PasswordError& e) {
    throw AdmError{e.what()};
  }
}

std::string newPasswordHash(const Ctx& c, const std::string& node) {
  std::string pw = newPassword(c, node);
  try {
    return hashPassword(pw);
  } catch (const PasswordError& e) {
    throw AdmError{e.what()};
  }
}

FileSpace requireFileSpace(Store& s, const std::string& node, const std::string& fs) {
  auto f = s.findFileSpace(node, fs);
  if (!f) throw AdmError{"no file space " + fs + " of node " + node};
  return *f;
}

// The file space of node/fs, added when missing. The node must be registered.
FileSpace fileSpaceForWrite(Store& s, const std::string& node, const std::string& fs) {
  if (!s.nodeExists(node)) throw AdmError{"node " + node + " is not registered"};
  if (fs.empty() || fs[0] != '/') throw AdmError{"file space name must start with '/': " + fs};
  if (auto f = s.findFileSpace(node, fs)) return *f;
  FileSpace n;
  n.node = node;
  n.name = fs;
  n.type = kDefaultFsType;
  n.info.assign(8, 0);
  n.id = s.addFileSpace(n);
  return *s.findFileSpace(node, fs);
}

void needArgs(const Ctx& c, size_t n, const char* usage) {
  if (c.args.size() != n) throw AdmError{std::string("usage: zefadm --db FILE ") + usage, 2};
}

int cmdRegisterNode(Ctx& c) {
  needArgs(c, 1, kRegisterUsage);
  if (c.args[0].empty()) throw AdmError{"empty node name", 2};
  if (c.store.nodeExists(c.args[0])) throw AdmError{"node " + c.args[0] + " is already registered"};
  std::string hash = newPasswordHash(c, c.args[0]);
  if (!c.store.registerNode(c.args[0], hash)) throw AdmError{"node " + c.args[0] + " is already registered"};
  fprintf(c.out, "node %s registered\n", c.args[0].c_str());
  return 0;
}

int cmdSetPassword(Ctx& c) {
  needArgs(c, 1, kSetPasswordUsage);
  if (!c.store.nodeExists(c.args[0])) throw AdmError{"node " + c.args[0] + " is not registered"};
  std::string hash = newPasswordHash(c, c.args[0]);
  if (!c.store.setPasswordHash(c.args[0], hash)) throw AdmError{"node " + c.args[0] + " is not registered"};
  fprintf(c.out, "password of node %s set\n", c.args[0].c_str());
  return 0;
}

int cmdAddFileSpace(Ctx& c) {
  needArgs(c, 2, "add-filespace NODE FILESPACE");
  Store::WriteTxn t(c.store);
  if (c.store.findFileSpace(c.args[0], c.args[1])) throw AdmError{"file space " + c.args[1] + " exists"};
  FileSpace fs = fileSpaceForWrite(c.store, c.args[0], c.args[1]);
  t.commit();
  fprintf(c.out, "file space %s of node %s added with id %u\n", fs.name.c_str(), fs.node.c_str(), fs.id);
  return 0;
}

int cmdListFileSpaces(Ctx& c) {
  needArgs(c, 0, "list-filespaces");
  for (const FileSpace& fs : c.store.listFileSpaces())
    fprintf(c.out, "%u\t%s\t%s\t%s\t%llu objects\t%llu bytes stored\n", fs.id, fs.node.c_str(), fs.name.c_str(),
            fs.type.c_str(), static_cast<unsigned long long>(c.store.countObjects(fs.id)),
            static_cast<unsigned long long>(storedBytes(c.store, fs.id)));
  return 0;
}

int cmdListObjects(Ctx& c) {
  needArgs(c, 2, "list-objects NODE FILESPACE");
  FileSpace fs = requireFileSpace(c.store, c.args[0], c.args[1]);
  auto cur = c.store.scan(fs.id);
  StoredObject o;
  while (cur->next(o)) {
    ObjId id = makeObjId(fs.id, o.objNum);
    auto a = decodeAttrBlock(o.attrs);
    if (!a) {
      fprintf(c.out, "%s\tunreadable-attributes\t%s\n", hexUpper(id.data(), id.size()).c_str(), o.path.c_str());
      continue;
    }
    const char* state = a->migState == kStateExpired ? "expired" : a->migState == kStateMigrated ? "migrated" : "other";
    fprintf(c.out, "%s\t%s\t%llu\t%o\t%u\t%u\t%u\t%s\n", hexUpper(id.data(), id.size()).c_str(), state,
            static_cast<unsigned long long>(a->size), a->mode, a->uid, a->gid, a->mtime, o.path.c_str());
  }
  return 0;
}

// Reads `file` ("-" for standard input) line by line into one transaction.
int cmdImport(Ctx& c) {
  needArgs(c, 3, "import NODE FILESPACE FILE|-");
  std::unique_ptr<FILE, int (*)(FILE*)> owned(nullptr, fclose);
  FILE* in = stdin;
  if (c.args[2] != "-") {
    owned.reset(fopen(c.args[2].c_str(), "r"));
    if (!owned) throw AdmError{"cannot open " + c.args[2] + ": " + strerror(errno)};
    in = owned.get();
  }
  Store::WriteTxn t(c.store);
  FileSpace fs = fileSpaceForWrite(c.store, c.args[0], c.args[1]);
  uint32_t now = static_cast<uint32_t>(time(nullptr));
  std::unique_ptr<char, void (*)(void*)> line(nullptr, free);
  size_t cap = 0;
  uint64_t lineNo = 0, count = 0;
  for (;;) {
    char* raw = line.release();
    ssize_t n = getline(&raw, &cap, in);
    line.reset(raw);
    if (n < 0) break;
    ++lineNo;
    std::string_view text(raw, static_cast<size_t>(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    if (text.find_first_not_of(" \t") == std::string_view::npos) continue;
    std::string error;
    auto rec = parseImportLine(text, now, error);
    if (!rec) throw AdmError{c.args[2] + ":" + std::to_string(lineNo) + ": " + error + "; nothing imported"};
    c.store.insertObject(fs.id, rec->path, encodeAttrBlock(rec->attrs));
    ++count;
  }
  if (ferror(in)) throw AdmError{"read error on " + c.args[2] + "; nothing imported"};
  t.commit();
  fprintf(c.out, "%llu objects imported into file space %s (id %u)\n", static_cast<unsigned long long>(count),
          fs.name.c_str(), fs.id);
  return 0;
}

// Deterministic synthetic objects: object i lives at PREFIX/dDDDD/fIIIIIIII
// (1000 per directory) with a size, owner and times derived from i.
int cmdGenerate(Ctx& c) {
  needArgs(c, 3, "generate NODE FILESPACE COUNT [--prefix PATH]");
  char* end = nullptr;
  errno = 0;
  unsigned long long count = strtoull(c.args[2].c_str(), &end, 10);
  if (c.args[2].empty() || *end || errno || c.args[2][0] == '-') throw AdmError{"invalid count " + c.args[2], 2};
  if (c.prefix.empty() || c.prefix[0] != '/') throw AdmError{"prefix must start with '/'", 2};
  Store::WriteTxn t(c.store);
  FileSpace fs = fileSpaceForWrite(c.store, c.args[0], c.args[1]);
  FileAttrs a;
  std::string path;
  char tail[64];
  for (unsigned long long i = 0; i < count; ++i) {
    snprintf(tail, sizeof tail, "/d%05llu/f%08llu", i / 1000, i);
    path = c.prefix + tail;
    a.size = (i % 97) * 4096 + i % 4096 + 1;
    a.mode = 0100600 | (i % 2 ? 044 : 0);
    a.uid = 1000 + static_cast<uint32_t>(i % 5);
    a.gid = 100;
    a.mtime = 1600000000u + static_cast<uint32_t>(i % 100000000);
    a.atime = a.mtime + 60;
    a.ctime = a.mtime + 120;
    a.inode = static_cast<uint32_t>(i + 100);
    c.store.insertObject(fs.id, path, encodeAttrBlock(a));
  }
  t.commit();
  fprintf(c.out, "%llu objects generated in file space %s (id %u)\n", count, fs.name.c_str(), fs.id);
  return 0;
}

// Sets the migration state of the objects stored under the given paths.
int setState(Ctx& c, unsigned state) {
  if (c.args.size() < 3) throw AdmError{"usage: zefadm --db FILE expire|unexpire NODE FILESPACE PATH...", 2};
  FileSpace fs = requireFileSpace(c.store, c.args[0], c.args[1]);
  Store::WriteTxn t(c.store);
  size_t changed = 0;
  for (size_t i = 2; i < c.args.size(); ++i) {
    auto nums = c.store.objectsByPath(fs.id, c.args[i]);
    if (nums.empty()) throw AdmError{"no object " + c.args[i] + " in file space " + fs.name + "; nothing changed"};
    for (uint64_t n : nums) {
      auto o = c.store.objectByNum(n);
      if (!attrBlockWellFormed(o->attrs)) throw AdmError{"unreadable attributes of " + c.args[i] + "; nothing changed"};
      setMigState(o->attrs, state);
      c.store.updateAttrs(n, o->attrs);
      ++changed;
    }
  }
  t.commit();
  fprintf(c.out, "%zu objects %s\n", changed, state == kStateExpired ? "expired" : "unexpired");
  return 0;
}

int cmdExpire(Ctx& c) { return setState(c, kStateExpired); }
int cmdUnexpire(Ctx& c) { return setState(c, kStateMigrated); }

// Makes a mounted file system managed (control directory, configuration,
// state file), so that the command and `migrate` accept it.
int cmdManageFs(Ctx& c) {
  needArgs(c, 1, "manage-fs MOUNTPOINT");
  return manageFileSystem(c.args[0], c.out, c.err);
}

// Turns the files below DIR into stubs with records in the file space named
// by the mount point. The file space is added (in its own transaction) first.
int cmdMigrate(Ctx& c) {
  if (c.args.size() != 2 && c.args.size() != 3)
    throw AdmError{"usage: zefadm --db FILE migrate NODE FILESPACE [DIR]", 2};
  FileSpace fs;
  {
    Store::WriteTxn t(c.store);
    fs = fileSpaceForWrite(c.store, c.args[0], c.args[1]);
    t.commit();
  }
  auto data = openDataDir(c);
  return migrateTree(c.store, *data, fs.id, c.args[1], c.args.size() == 3 ? c.args[2] : c.args[1], c.out, c.err);
}

// Reads every stored object's data and compares it with its record; one
// line per object that is missing or damaged.
int cmdVerify(Ctx& c) {
  needArgs(c, 0, "verify");
  auto dir = openDataDir(c);
  uint64_t good = 0, bad = 0;
  forEachDataRef(c.store, [&](uint64_t objNum, const DataRef& ref) {
    DataCheck r = checkData(*dir, objNum, ref);
    if (r == DataCheck::kGood) {
      ++good;
      return;
    }
    ++bad;
    auto o = c.store.objectByNum(objNum);
    ObjId id = makeObjId(o ? o->fsId : 0, objNum);
    fprintf(c.out, "%s\t%s\t%s\n", hexUpper(id.data(), id.size()).c_str(), dataCheckText(r),
            o ? o->path.c_str() : "");
  });
  fprintf(c.out, "%llu objects verified, %llu good, %llu missing or damaged\n",
          static_cast<unsigned long long>(good + bad), static_cast<unsigned long long>(good),
          static_cast<unsigned long long>(bad));
  return bad ? 1 : 0;
}

// Removes data files that no record names (and temporaries of stores that
// never finished); stores of a running server are waited for, not removed.
int cmdGc(Ctx& c) {
  needArgs(c, 0, "gc");
  auto dir = openDataDir(c);
  DataDir::Collected gone = dir->collect(c.store);
  fprintf(c.out, "%llu files removed (%llu bytes)\n", static_cast<unsigned long long>(gone.files),
          static_cast<unsigned long long>(gone.bytes));
  return 0;
}

struct Command {
  const char* name;
  const char* usage;
  int (*run)(Ctx&);
};

const Command kCommands[] = {
    {"register-node", kRegisterUsage, cmdRegisterNode},
    {"set-password", kSetPasswordUsage, cmdSetPassword},
    {"add-filespace", "add-filespace NODE FILESPACE", cmdAddFileSpace},
    {"list-filespaces", "list-filespaces", cmdListFileSpaces},
    {"list-objects", "list-objects NODE FILESPACE", cmdListObjects},
    {"import", "import NODE FILESPACE FILE|-   (JSON lines)", cmdImport},
    {"generate", "generate NODE FILESPACE COUNT [--prefix PATH]", cmdGenerate},
    {"expire", "expire NODE FILESPACE PATH...", cmdExpire},
    {"unexpire", "unexpire NODE FILESPACE PATH...", cmdUnexpire},
    {"verify", "verify   (checks every object's data against its SHA-256)", cmdVerify},
    {"gc", "gc   (removes data files that no record names)", cmdGc},
    {"manage-fs", "manage-fs MOUNTPOINT", cmdManageFs},
    {"migrate", "migrate NODE FILESPACE [DIR]   (FILESPACE: the mount point)", cmdMigrate},
};

void usage(FILE* err) {
  fprintf(err, "usage: zefadm --db FILE [--data-dir DIR] COMMAND ARGS...\ncommands:\n");
  for (const Command& c : kCommands) fprintf(err, "  %s\n", c.usage);
  fprintf(err, "A password is read from the descriptor or the file (mode 0600) given, else asked\n"
               "for on the terminal; it is never taken from the command line.\n");
}

// Commands that work on what an existing database holds: a database that is
// not there (a mistyped --db) is refused rather than created empty (for gc,
// an empty one would name none of the data files).
bool readsOnly(const Command& c) {
  for (const char* name : {"list-filespaces", "list-objects", "verify", "gc"})
    if (strcmp(c.name, name) == 0) return true;
  return false;
}

// Opens the database for `cmd`; a missing one for a reading command is an
// AdmError. Warns when others may read or write an existing database: it
// holds the nodes' password hashes and every record.
std::unique_ptr<Store> openFor(const Command& cmd, const std::string& db, FILE* err) {
  if (readsOnly(cmd) && access(db.c_str(), F_OK) != 0 && errno == ENOENT)
    throw AdmError{"there is no database " + db + " (" + cmd.name + " works on an existing one and creates none)"};
  auto store = Store::open(db, readsOnly(cmd) ? Store::kExisting : Store::kCreate);
  struct stat st {};
  if (stat(db.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
    fprintf(err, "zefadm: warning: other users can access the database %s (mode %04o); run: chmod 600 %s\n",
            db.c_str(), static_cast<unsigned>(st.st_mode & 07777), db.c_str());
  return store;
}

// The import keys that name a 32-bit attribute, or null.
uint32_t FileAttrs::*u32Field(const std::string& key) {
  static const std::pair<const char*, uint32_t FileAttrs::*> kFields[] = {
      {"uid", &FileAttrs::uid},     {"gid", &FileAttrs::gid},     {"mode", &FileAttrs::mode},
      {"atime", &FileAttrs::atime}, {"mtime", &FileAttrs::mtime}, {"ctime", &FileAttrs::ctime},
      {"inode", &FileAttrs::inode}};
  for (const auto& [name, field] : kFields)
    if (key == name) return field;
  return nullptr;
}

bool getU32(const JsonValue& v, uint32_t& out) {
  if (v.kind != JsonValue::kInteger || v.integer < 0 || v.integer > 0xFFFFFFFFLL) return false;
  out = static_cast<uint32_t>(v.integer);
  return true;
}

}  // namespace

std::optional<ImportRecord> parseImportLine(std::string_view line, uint32_t defaultTime, std::string& error) {
  auto members = parseFlatObject(line, error);
  if (!members) return std::nullopt;
  ImportRecord r;
  r.attrs.atime = r.attrs.mtime = r.attrs.ctime = defaultTime;
  bool havePath = false, haveSize = false;
  for (const JsonMember& m : *members) {
    const JsonValue& v = m.value;
    bool ok = true;
    if (m.key == "path") {
      ok = !havePath && v.kind == JsonValue::kString && !v.str.empty() && v.str[0] == '/' && v.str.size() <= kMaxPathLen &&
           v.str.find('\0') == std::string::npos;
      r.path = v.str;
      havePath = ok;
    } else if (m.key == "alias") {
      // Taken as it stands, without the leading "/" that "path" demands: how
      // a test gives a client the malformed names a damaged server may hold.
      ok = !havePath && v.kind == JsonValue::kString && !v.str.empty() && v.str.size() <= kMaxPathLen &&
           v.str.find('\0') == std::string::npos;
      r.path = v.str;
      havePath = ok;
    } else if (m.key == "size") {
      ok = v.kind == JsonValue::kInteger && v.integer >= 0;
      r.attrs.size = static_cast<uint64_t>(v.integer);
      haveSize = ok;
    } else if (uint32_t FileAttrs::*field = u32Field(m.key)) {
      ok = getU32(v, r.attrs.*field);
    } else if (m.key == "expired") {
      ok = v.kind == JsonValue::kBool;
      r.attrs.migState = v.boolean ? kStateExpired : kStateMigrated;
    } else {
      error = "unknown key \"" + m.key + "\"";
      return std::nullopt;
    }
    if (!ok) {
      error = "invalid value for \"" + m.key + "\"";
      return std::nullopt;
    }
  }
  if (!havePath || !haveSize) {
    error = havePath ? "missing \"size\"" : "missing \"path\"";
    return std::nullopt;
  }
  return r;
}

int runAdm(int argc, char** argv, FILE* out, FILE* err) {
  std::string db, prefix = "/gen", passwordFile, dataDir;
  int passwordFd = -1;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if ((a == "--db" || a == "--prefix" || a == "--password-file" || a == "--data-dir") && i + 1 < argc) {
      (a == "--db" ? db : a == "--prefix" ? prefix : a == "--data-dir" ? dataDir : passwordFile) = argv[++i];
    } else if (a == "--password-fd" && i + 1 < argc) {
      std::string v = argv[++i];
      char* end = nullptr;
      long fd = strtol(v.c_str(), &end, 10);
      if (v.empty() || *end || fd < 0 || fd > 1 << 20) {
        fprintf(err, "zefadm: invalid descriptor %s\n", v.c_str());
        return 2;
      }
      passwordFd = static_cast<int>(fd);
    } else if (a.rfind("--", 0) == 0) {
      fprintf(err, "zefadm: unknown option %s\n", a.c_str());
      usage(err);
      return 2;
    } else {
      rest.push_back(a);
    }
  }
  if (db.empty() || rest.empty()) {
    usage(err);
    return 2;
  }
  const Command* cmd = nullptr;
  for (const Command& c : kCommands)
    if (rest[0] == c.name) cmd = &c;
  if (!cmd) {
    fprintf(err, "zefadm: unknown command %s\n", rest[0].c_str());
    usage(err);
    return 2;
  }
  try {
    auto store = openFor(*cmd, db, err);
    ensureDataSchema(*store);
    Ctx ctx{*store,     std::vector<std::string>(rest.begin() + 1, rest.end()),
            prefix,     out,
            err,        passwordFd,
            passwordFile, dataDir.empty() ? defaultDataDir(db) : dataDir};
    return cmd->run(ctx);
  } catch (const AdmError& e) {
    fprintf(err, "zefadm: %s\n", e.text.c_str());
    return e.status;
  } catch (const StoreError& e) {
    fprintf(err, "zefadm: database error: %s\n", e.what());
    return 1;
  }
}

void admUsage(FILE* out) { usage(out); }

}  // namespace zef
