#!/usr/bin/env bash
# The main job, end to end on this machine: a reference storage server on
# loopback with a fresh database, a managed ext4 file system whose files are
# migrated into stubs, some stubs deleted and one object expired, then
# kmrmigundelete brings the stubs back; last a whole directory tree is
# removed with rm -rf, previewed, and brought back alone with its lost
# directories. Last, with kmrrecalld running, files of known content are
# migrated with kmrmigrate, some deleted and brought back with
# kmrmigundelete, and read: the reads recall the data (checksums equal to
# those taken before the migration) and leave the files premigrated, and a
# write makes one resident. Exits 0 only when every stub that should come
# back did, with its size, no data blocks, owner, mode, times, "VOQObj"
# record and managed region, and every recalled file holds its bytes; 1
# otherwise.
#
# Run as root. Everything it mounts lives in a private mount namespace with
# its own tmpfs over /etc/vostra and /var/log; the host's configuration,
# logs and mount table are never touched. Set KMR_DEMO_SKIP_DEPS=1 to skip
# the package installation on a machine that already has them.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

if [ "$(id -u)" != 0 ]; then
  echo "demo: run as root (it mounts file systems in a private namespace)" >&2
  exit 1
fi

if [ -z "${KMR_DEMO_INSIDE:-}" ]; then
  [ "${KMR_DEMO_SKIP_DEPS:-0}" = 1 ] || bash scripts/install-deps.sh
  cmake -S . -B build/release -G Ninja >/dev/null
  cmake --build build/release -j "$(nproc)" --target kmrmigundelete kmrmigrate kmrrecalld zefserverd zefadm kmr_catalog
  exec env KMR_DEMO_INSIDE=1 unshare --mount --propagation private bash "$0" "$@"
fi

# ---- inside the private mount namespace ------------------------------------
B=$ROOT/build/release
CMD=$B/frontend/kmrmigundelete
MIGRATE=$B/migrate/kmrmigrate
RECALLD=$B/recall/kmrrecalld
ZEFADM=$B/zefserver/zefadm
ZEFSERVERD=$B/zefserver/zefserverd
W=$(mktemp -d /tmp/kmrdemo.XXXXXX)
FS=$W/hsmfs
DB=$W/zef.db
NODE=DEMONODE
SERVER_PID=
RECALLD_PID=

cleanup() {
  local rc=$?
  if [ -n "$RECALLD_PID" ]; then
    kill "$RECALLD_PID" 2>/dev/null || true
    wait "$RECALLD_PID" 2>/dev/null || true
  fi
  if [ -n "$SERVER_PID" ]; then
    kill "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  for m in "$FS" /var/log /etc/vostra; do umount "$m" 2>/dev/null || true; done
  if mountpoint -q "$W/etc" 2>/dev/null; then
    umount /etc 2>/dev/null || true
    umount "$W/etc" 2>/dev/null || true
  fi
  rm -rf "$W"
  exit "$rc"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}

step "Private /etc/vostra and /var/log"
if [ ! -d /etc/vostra ]; then
  # /etc gets an overlay whose upper layer is a tmpfs, so the directory is
  # made in this namespace only.
  mkdir "$W/etc"
  mount -t tmpfs tmpfs "$W/etc"
  mkdir "$W/etc/upper" "$W/etc/work"
  mount -t overlay overlay -o "lowerdir=/etc,upperdir=$W/etc/upper,workdir=$W/etc/work" /etc
  mkdir /etc/vostra
fi
mount -t tmpfs tmpfs /etc/vostra
mount -t tmpfs tmpfs /var/log
mkdir -p /etc/vostra/Tarnveld/config
printf '\003\000' >/etc/vostra/Tarnveld/config/instance
printf '<KMRNodeSet version="1"><node instance="3" host="%s"/></KMRNodeSet>\n' "$(hostname)" \
  >/etc/vostra/Tarnveld/config/KMRNodeSet

step "A managed ext4 file system at $FS"
mkdir "$FS"
truncate -s 600M "$W/fs.img"
mkfs.ext4 -q -F "$W/fs.img"
mount -o loop "$W/fs.img" "$FS"
# The node's password: made here, handed to zefadm in a file only root can
# read (never on a command line) and kept in the client's password store.
umask 077
NODE_PASSWORD=$(head -c 18 /dev/urandom | base64)
printf '%s\n' "$NODE_PASSWORD" >"$W/node.pw"
"$ZEFADM" --db "$DB" register-node "$NODE" --password-file "$W/node.pw"
rm -f "$W/node.pw"
mkdir "$W/pw"
# Store format (docs/protocol.md): server stanza, node, password in hexadecimal.
printf 'ZEF\t%s\t%s\n' "$NODE" "$(printf '%s' "$NODE_PASSWORD" | od -An -tx1 -v | tr -d ' \n')" >"$W/pw/kmr.pwd"
# A throwaway key and self-signed certificate for the server's TLS; the
# client pins the certificate.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=zefserver \
  -keyout "$W/server.key" -out "$W/server.crt" 2>/dev/null || fail "openssl could not make a certificate"
umask 022
"$ZEFADM" --db "$DB" manage-fs "$FS"

step "zefserverd on 127.0.0.1, TLS only"
for attempt in $(seq 1 40); do
  PORT=$((20000 + RANDOM % 12000))
  rm -f "$W/ready"
  "$ZEFSERVERD" --db "$DB" --address 127.0.0.1 --port "$PORT" --ready-fd 3 --die-with-parent \
    --idle-exit 600 --log "$W/server.log" --tls-cert "$W/server.crt" --tls-key "$W/server.key" --tls-only \
    3>"$W/ready" &
  SERVER_PID=$!
  # The server writes its port to the ready file once it listens, or ends.
  while kill -0 "$SERVER_PID" 2>/dev/null && [ ! -s "$W/ready" ]; do sleep 0.05; done
  [ -s "$W/ready" ] && break
  wait "$SERVER_PID" 2>/dev/null || true
  SERVER_PID=
done
[ -n "$SERVER_PID" ] || fail "zefserverd did not start (see $W/server.log)"
echo "listening on 127.0.0.1:$PORT"

mkdir "$W/inst"
ln -s "$B/catalog/EN_US" "$W/inst/EN_US"
cat >"$W/inst/kmr.sys" <<EOF
SERVERNAME ZEF
  COMMMETHOD TCPIP
  TCPSERVERADDRESS 127.0.0.1
  TCPPORT $PORT
  NODENAME $NODE
  PASSWORDACCESS GENERATE
  PASSWORDDIR $W/pw
  SSL YES
  SSLSERVERPIN $W/server.crt
EOF
echo "SERVERNAME ZEF" >"$W/inst/kmr.opt"
export KMR_DIR=$W/inst KMR_LOG=$W LANG=C

step "kmrrecalld, in the foreground as its unit starts it"
"$RECALLD" --foreground >"$W/recalld.out" 2>&1 &
RECALLD_PID=$!
# It names each file system it serves (message 9850) once it watches it.
while kill -0 "$RECALLD_PID" 2>/dev/null && ! grep -q BQF9850I "$W/recalld.out"; do sleep 0.05; done
grep BQF9850I "$W/recalld.out" || fail "kmrrecalld did not start: $(cat "$W/recalld.out")"

# The state of a file as its HSM attributes show it.
state_of() {
  if getfattr --absolute-names -n trusted.dmapi.VOQObj "$1" >/dev/null 2>&1; then echo migrated
  elif getfattr --absolute-names -n trusted.dmapi.VOQPMig "$1" >/dev/null 2>&1; then echo premigrated
  else echo resident; fi
}
# Prints the state of each file named (relative to $FS) and fails unless it is $1.
show_states() {
  local want=$1 f got
  shift
  for f in "$@"; do
    got=$(state_of "$FS/$f")
    printf '  %-22s %-12s %9s bytes  %5s blocks\n' "$f" "$got" $(stat -c '%s %b' "$FS/$f")
    [ "$got" = "$want" ] || fail "$f is $got, not $want"
  done
}

step "Sample files, migrated into stubs with zefadm migrate"
mkdir -p "$FS/projects/2024/q1" "$FS/projects/2024/q2" "$FS/photos" "$FS/archive"
sample() { # path size uid gid mode mtime
  head -c "$2" /dev/urandom >"$FS/$1"
  chown "$3:$4" "$FS/$1"
  chmod "$5" "$FS/$1"
  touch -d "@$6" "$FS/$1"
}
sample projects/report.pdf 307200 1000 100 0640 1704067200
sample projects/data.csv 2097152 1000 100 0644 1706745600
sample photos/cat.jpg 1048589 1001 101 0600 1709251200
sample archive/old.tar 5242880 0 0 0444 1672531200
sample notes.txt 4096 1002 102 0664 1711929600
sample projects/2024/q1/budget.ods 65536 1000 100 0640 1704153600
sample projects/2024/q2/plan.odt 131072 1000 100 0640 1712016000
"$ZEFADM" --db "$DB" migrate "$NODE" "$FS"
"$ZEFADM" --db "$DB" list-objects "$NODE" "$FS"

# Remember each stub as migrated: what must come back.
declare -A WANT
for f in projects/report.pdf photos/cat.jpg archive/old.tar; do
  WANT[$f]=$(stat -c '%s %u %g %a %X %Y' "$FS/$f")
  getfattr --absolute-names --only-values -n trusted.dmapi.VOQObj "$FS/$f" >"$W/$(echo "$f" | tr / _).voq"
done

step "Stubs deleted, one object expired on the server"
rm -v "$FS/projects/report.pdf" "$FS/photos/cat.jpg" "$FS/archive/old.tar"
"$ZEFADM" --db "$DB" expire "$NODE" "$FS" /archive/old.tar

# Checks one recreated stub against what it was when migrated.
check_stub() {
  local f=$1 p=$FS/$1
  [ -f "$p" ] && [ ! -L "$p" ] || fail "$f did not come back"
  local got blocks
  got=$(stat -c '%s %u %g %a %X %Y' "$p")
  [ "$got" = "${WANT[$f]}" ] || fail "$f: size/owner/mode/times are '$got', want '${WANT[$f]}'"
  blocks=$(stat -c %b "$p")
  # No data: at most the one block ext4 may give the extended attributes.
  [ "$blocks" -le 8 ] || fail "$f holds $blocks blocks of data"
  getfattr --absolute-names --only-values -n trusted.dmapi.VOQObj "$p" >"$W/got.voq" || fail "$f has no VOQObj"
  [ "$(stat -c %s "$W/got.voq")" = 124 ] || fail "$f: VOQObj is not 124 bytes"
  # Every byte must match the record written at migration except bytes 40-43:
  # they carry the change time of the server's record, which the stub's own
  # creation at migration moved on by the time the record was stored.
  local want=$W/$(echo "$f" | tr / _).voq
  cmp -s <(head -c 40 "$W/got.voq"; tail -c 80 "$W/got.voq") <(head -c 40 "$want"; tail -c 80 "$want") ||
    fail "$f: VOQObj differs from the one written at migration"
  [ "$(getfattr --absolute-names --only-values -n trusted.xdsm.regions "$p" | od -An -tx1 | tr -d ' \n')" = \
    000000000000000000000000000000000700000000000000 ] || fail "$f: no managed region over the whole file"
  printf '  %-22s %9s bytes  %s blocks  uid:gid %s:%s  mode %s  atime %s  mtime %s\n' "$f" \
    $(stat -c '%s %b %u %g %a %X %Y' "$p")
  printf '  %-22s VOQObj ' ""
  od -An -tx1 -v -w124 "$W/got.voq" | tr -d '\n' | cut -c1-120
  echo " ..."
}

step "kmrmigundelete -DETAIL $FS"
"$CMD" -DETAIL "$FS" || fail "kmrmigundelete ended with status $?"
for f in projects/report.pdf photos/cat.jpg; do check_stub "$f"; done
[ ! -e "$FS/archive/old.tar" ] || fail "the expired object came back without -EXPIRING"
echo "  archive/old.tar        stays away: its object is expired"

step "kmrmigundelete -EXPIRING -DETAIL $FS"
"$CMD" -EXPIRING -DETAIL "$FS" || fail "kmrmigundelete -EXPIRING ended with status $?"
check_stub archive/old.tar
"$ZEFADM" --db "$DB" list-objects "$NODE" "$FS" | grep -q $'\tmigrated\t5242880\t' ||
  fail "the server still holds archive/old.tar as expired"

step "An accident: rm -rf $FS/projects"
PROJECT_FILES="projects/report.pdf projects/data.csv projects/2024/q1/budget.ods projects/2024/q2/plan.odt"
for f in $PROJECT_FILES; do
  WANT[$f]=$(stat -c '%s %u %g %a %X %Y' "$FS/$f")
  getfattr --absolute-names --only-values -n trusted.dmapi.VOQObj "$FS/$f" >"$W/$(echo "$f" | tr / _).voq"
done
rm -rf "$FS/projects"
ls "$FS"

step "kmrmigundelete -PREVIEW -MKDIRS -SUBTREE=$FS/projects $FS   (changes nothing)"
"$CMD" -PREVIEW -MKDIRS "-SUBTREE=$FS/projects" "$FS" || fail "the preview ended with status $?"
[ ! -e "$FS/projects" ] || fail "the preview changed the file system"

step "kmrmigundelete -JSON -SUBTREE=$FS/projects $FS   (the same for scripts; without -MKDIRS)"
"$CMD" -JSON "-SUBTREE=$FS/projects" "$FS" | grep '^{' || fail "no JSON preview"

step "kmrmigundelete -MKDIRS -SUBTREE=$FS/projects $FS"
"$CMD" -MKDIRS "-SUBTREE=$FS/projects" "$FS" || fail "kmrmigundelete -MKDIRS ended with status $?"
for f in $PROJECT_FILES; do check_stub "$f"; done
stat -c '  %n: directory of %U:%G, mode %a' "$FS/projects" "$FS/projects/2024" "$FS/projects/2024/q1"
[ -f "$FS/notes.txt" ] || fail "a stub outside the subtree went away"

step "The server's records afterwards"
"$ZEFADM" --db "$DB" list-objects "$NODE" "$FS"

step "Files of known content, migrated with kmrmigrate while kmrrecalld runs"
ERRLOG_BEFORE=$(stat -c %s "$W/kmrerror.log" 2>/dev/null || echo 0)
mkdir "$FS/recall"
seq 1 200000 >"$FS/recall/numbers.txt"
head -c 3145728 /dev/urandom >"$FS/recall/image.raw"
head -c 1048576 <(yes "ORCA kmr zef") >"$FS/recall/pattern.bin"
head -c 40000 /dev/urandom >"$FS/recall/small.dat"
RECALL_FILES="recall/image.raw recall/numbers.txt recall/pattern.bin recall/small.dat"
(cd "$FS" && sha256sum $RECALL_FILES) | tee "$W/recall.sha256"
"$MIGRATE" -DETAIL "$FS/recall" || fail "kmrmigrate ended with status $?"
show_states migrated $RECALL_FILES

step "Two stubs deleted, brought back by kmrmigundelete -SUBTREE=$FS/recall $FS"
rm -v "$FS/recall/image.raw" "$FS/recall/numbers.txt"
"$CMD" "-SUBTREE=$FS/recall" "$FS" || fail "kmrmigundelete ended with status $?"
show_states migrated $RECALL_FILES

step "Read: each first access waits while kmrrecalld recalls the data"
(cd "$FS" && sha256sum $RECALL_FILES) | tee "$W/recalled.sha256"
cmp -s "$W/recall.sha256" "$W/recalled.sha256" || fail "a recalled file differs from what was migrated"
echo "  the same checksums as before the migration"
show_states premigrated $RECALL_FILES

step "A write to a premigrated file makes it resident"
echo "one more line" >>"$FS/recall/numbers.txt"
show_states resident recall/numbers.txt
show_states premigrated recall/image.raw recall/pattern.bin recall/small.dat
[ "$(stat -c %s "$W/kmrerror.log" 2>/dev/null || echo 0)" = "$ERRLOG_BEFORE" ] ||
  { tail -c +$((ERRLOG_BEFORE + 1)) "$W/kmrerror.log"; fail "the recalls wrote to the error log"; }

echo
echo "demo: all stubs came back, the removed directory tree included; the recalled files hold their bytes"
