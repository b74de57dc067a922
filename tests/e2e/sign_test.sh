#!/bin/bash
# morrowline-pack --sign and --verify with real keys made by ssh-keygen:
# stock ssh-keygen and sha256sum accept what it writes; --verify tells a
# good signature from a changed file, a stranger's key and a missing .sig;
# a key that needs a passphrase fails at once without a terminal, and with
# one the passphrase is asked for; failures leave no file; signing is
# reproducible with SOURCE_DATE_EPOCH.
. "$(dirname "$0")/lib.sh"

PACK="$MORROWLINE_BUILD/bin/morrowline-pack"
cd "$SCRATCH"

# pack_alone ARGS...: runs morrowline-pack with no terminal and no agent
# (PATH is PACK_PATH when set); STATUS, OUT and ERR are what it did. A
# prompt that waited would end in timeout's 124.
pack_alone() {
  STATUS=0
  timeout 60 setsid -w env -u SSH_AUTH_SOCK -u DISPLAY PATH="${PACK_PATH:-$PATH}" \
    "$PACK" "$@" </dev/null >.out 2>.err || STATUS=$?
  OUT=$(cat .out)
  ERR=$(cat .err)
}

listing() { ls -A "$1" | tr '\n' ' '; }

mkdir keys
for name in alice bob; do ssh-keygen -q -t ed25519 -N '' -C "$name" -f "keys/$name"; done
ssh-keygen -q -t ed25519 -N 'carol passphrase' -C carol -f keys/carol
signer_line() { echo "$1@example.com $(cut -d' ' -f1,2 "keys/$1.pub")"; }
# Alice's key twice: the first identity whose key matches is the signer.
{ signer_line bob; signer_line alice; signer_line carol; } > allowed_signers
echo "alice-old@example.com $(cut -d' ' -f1,2 keys/alice.pub)" >> allowed_signers
signer_line bob > bob_only

mkdir -p src/pkg
printf '#!/bin/sh\necho set up\n' > src/pkg/setup.sh
seq 1 2000 > src/pkg/numbers.txt

# --- Signed: three files that stock tools accept ---
mkdir out
pack_alone -o out/inst.run --run 'sh pkg/setup.sh' --sign keys/alice src/pkg
expect_eq "sign: exit 0, nothing said" "0 " "$STATUS $ERR"
expect_eq "sign: the installer, its signature and checksum, nothing else" \
  "inst.run inst.run.sha256 inst.run.sig " "$(listing out)"
expect_eq "sign: modes" "755 644 644" "$(stat -c %a out/inst.run out/inst.run.sig out/inst.run.sha256 | xargs)"
check "sha256sum -c passes in the installer's folder" sh -c 'cd out && sha256sum -c --quiet inst.run.sha256'
check "ssh-keygen -Y verify accepts the signature" sh -c \
  'ssh-keygen -Y verify -f allowed_signers -I alice@example.com -n file -s out/inst.run.sig <out/inst.run >/dev/null'

summary=$("$PACK" --check out/inst.run)
pack_alone --verify out/inst.run --signers allowed_signers
expect_eq "verify: the first identity whose key signed, then the members as --check" \
  "0 good signature from alice@example.com|$summary|" "$STATUS $(tr '\n' '|' <.out)$ERR"
check "verify: the members line" grep -qx 'ok: 3 members, [0-9]* bytes, every CRC-32 matches' .out
pack_alone --verify out/inst.run --signers allowed_signers --identity alice-old@example.com
expect_eq "verify: the identity asked for" "0 good signature from alice-old@example.com" \
  "$STATUS $(head -n1 .out)"

# --- What --verify refuses: status 1, one line, and no member read ---
mkdir tampered nosig
cp out/inst.run out/inst.run.sig tampered/
offset=$(($(stat -c %s "$MORROWLINE_SFX") + 100))  # inside the appended archive
byte=$(od -An -tu1 -j "$offset" -N1 tampered/inst.run)
printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of=tampered/inst.run bs=1 seek="$offset" conv=notrunc status=none
pack_alone --verify tampered/inst.run --signers allowed_signers
expect_eq "verify: one changed byte in the payload" \
  "1 morrowline-pack: signature does not match: tampered/inst.run" "$STATUS $OUT$ERR"
check "ssh-keygen -Y verify refuses it too" sh -c \
  '! ssh-keygen -Y verify -f allowed_signers -I alice@example.com -n file -s tampered/inst.run.sig <tampered/inst.run >/dev/null 2>&1'
pack_alone --verify out/inst.run --signers bob_only
expect_eq "verify: no signer in the file has the key" \
  "1 morrowline-pack: no matching signer: bob_only" "$STATUS $OUT$ERR"
pack_alone --verify out/inst.run --signers allowed_signers --identity bob@example.com
expect_eq "verify: the identity asked for did not sign" \
  "1 morrowline-pack: no matching signer: allowed_signers: bob@example.com" "$STATUS $OUT$ERR"
cp out/inst.run nosig/
pack_alone --verify nosig/inst.run --signers allowed_signers
expect_eq "verify: the .sig is missing" \
  "1 morrowline-pack: signature file missing: nosig/inst.run.sig" "$STATUS $OUT$ERR"

head -c $((10 << 20)) /dev/zero >nosig/inst.run.sig
pack_alone --verify nosig/inst.run --signers allowed_signers
expect_eq "verify: a 10 MB signature file is refused before ssh-keygen reads it" \
  "1 morrowline-pack: bad signature file: too large: nosig/inst.run.sig" "$STATUS $OUT$ERR"
pack_alone --verify=out/inst.run --signers=allowed_signers
expect_eq "verify as --verify=INSTALLER" "0 good signature from alice@example.com" \
  "$STATUS $(head -n1 <<<"$OUT")"

# A damaged installer its author signed: the signature is good, a member is not.
mkdir -p damaged/pkg
printf 'first member stays sound\n' > damaged/pkg/a.txt
printf 'MARK this stored member is damaged\n' > damaged/pkg/b.txt
"$PACK" -0 -o damaged/d.run damaged/pkg
offset=$(grep -obUa 'MARK this stored' damaged/d.run | tail -n1 | cut -d: -f1)
printf 'X' | dd of=damaged/d.run bs=1 seek="$offset" conv=notrunc status=none
ssh-keygen -q -Y sign -f keys/alice -n file damaged/d.run </dev/null 2>/dev/null
pack_alone --verify damaged/d.run --signers allowed_signers
expect_eq "verify: a damaged member under a good signature" \
  "1 good signature from alice@example.com|morrowline-pack: file couldn't be read: pkg/b.txt: CRC-32 mismatch|morrowline-pack: 1 of 3 members failed|" \
  "$STATUS $OUT|$(tr '\n' '|' <.err)"

# --- Signing refused or failed: a clear line, and no file added or changed ---
mkdir -p refused/y.run.sig fakebin
printf 'old installer' > refused/x.run
printf 'old signature' > refused/x.run.sig
printf '#!/bin/sh\necho "unknown option -- Y" >&2\nexit 1\n' > fakebin/ssh-keygen
chmod +x fakebin/ssh-keygen
# refuse DESCRIPTION MESSAGE ARGS...: signs into refused/x.run and expects
# status 1 and MESSAGE as the whole of stderr.
refuse() {
  local description=$1 message=$2
  shift 2
  pack_alone -o refused/x.run --sign "$@" src/pkg
  expect_eq "refused: $description" "1 morrowline-pack: $message" "$STATUS $OUT$ERR"
}
needs_passphrase="the key needs its passphrase and standard input is not a terminal; add the key to ssh-agent"
refuse "a passphrase without a terminal or an agent" \
  "cannot sign installer: keys/carol: $needs_passphrase" \
  keys/carol
refuse "a missing key" "cannot read signing key: keys/none: No such file or directory" keys/none
refuse "a file that holds no key" \
  "cannot sign installer: src/pkg/numbers.txt: no OpenSSH key in it, nor in src/pkg/numbers.txt.pub" \
  src/pkg/numbers.txt
PACK_PATH=/nonexistent refuse "no ssh-keygen" \
  "ssh-keygen not found: OpenSSH 8.1 or later is needed on PATH" keys/alice
PACK_PATH="$SCRATCH/fakebin" refuse "an ssh-keygen older than 8.1" \
  "cannot sign installer: keys/alice: this ssh-keygen cannot sign or verify files; OpenSSH 8.1 or later is needed" \
  keys/alice
pack_alone -o refused/y.run --sign keys/alice src/pkg
expect_eq "refused: a directory where the .sig goes" \
  "1 morrowline-pack: cannot write installer: refused/y.run.sig: Is a directory" "$STATUS $ERR"
expect_eq "refused: nothing added, no temporary file" "x.run x.run.sig y.run.sig " "$(listing refused)"
expect_eq "refused: the old files as they were" "old installer|old signature" \
  "$(cat refused/x.run)|$(cat refused/x.run.sig)"

# --- A passphrase: asked for on a terminal; an agent needs none ---
# on_terminal ANSWER ARGS...: runs morrowline-pack on a terminal of its own,
# types ANSWER when asked for a passphrase; prints the status, then the
# terminal's text. With no ANSWER, standard input is /dev/null instead.
on_terminal() {
  timeout 60 python3 - "$@" <<'EOF'
import os, pty, select, sys
answer, argv = sys.argv[1].encode(), sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    os.environ.pop("SSH_AUTH_SOCK", None)
    if not answer:
        os.dup2(os.open("/dev/null", os.O_RDONLY), 0)
    os.execv(argv[0], argv)
seen, asked = b"", False
while True:
    if not select.select([fd], [], [], 30)[0]:  # waits for something: stop it
        os.kill(pid, 9)
        break
    try:
        piece = os.read(fd, 1024)
    except OSError:  # the terminal's other side has closed
        break
    if not piece:
        break
    seen += piece
    if answer and not asked and b"passphrase:" in seen:
        os.write(fd, answer + b"\n")
        asked = True
print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
print(seen.decode(errors="replace").replace("\r", ""), end="")
EOF
}
mkdir typed
answer=$(on_terminal 'not it' "$PACK" -o typed/x.run --sign keys/carol src/pkg)
expect_eq "terminal: a wrong passphrase" \
  "1|Enter passphrase: |morrowline-pack: cannot sign installer: keys/carol: wrong passphrase|" \
  "$(tr '\n' '|' <<<"$answer")"
expect_eq "terminal: a wrong passphrase leaves no file" "" "$(listing typed)"
answer=$(on_terminal '' "$PACK" -o typed/x.run --sign keys/carol src/pkg)
expect_eq "terminal: not asked for when standard input is not the terminal" \
  "1|morrowline-pack: cannot sign installer: keys/carol: $needs_passphrase|" \
  "$(tr '\n' '|' <<<"$answer")"
answer=$(on_terminal 'carol passphrase' "$PACK" -o typed/x.run --sign keys/carol src/pkg)
expect_eq "terminal: the right passphrase signs" "0 x.run x.run.sha256 x.run.sig " \
  "$(head -n1 <<<"$answer") $(listing typed)"

mkdir agent
ssh-agent -D -a "$SCRATCH/agent.sock" >/dev/null 2>&1 </dev/null &
agent_pid=$!
trap 'kill "$agent_pid" 2>/dev/null || true; cleanup' EXIT
gui_wait_for test -S "$SCRATCH/agent.sock"
printf '#!/bin/sh\necho "carol passphrase"\n' > askpass
chmod +x askpass
SSH_AUTH_SOCK="$SCRATCH/agent.sock" SSH_ASKPASS="$SCRATCH/askpass" SSH_ASKPASS_REQUIRE=force \
  ssh-add keys/carol </dev/null 2>/dev/null
STATUS=0
SSH_AUTH_SOCK="$SCRATCH/agent.sock" timeout 60 setsid -w "$PACK" -o agent/x.run \
  --sign keys/carol.pub src/pkg </dev/null 2>.err || STATUS=$?
kill "$agent_pid"
wait "$agent_pid" || true
trap cleanup EXIT
expect_eq "agent: signs through the public key file, without a terminal" "0 " "$STATUS $(cat .err)"
pack_alone --verify agent/x.run --signers allowed_signers
expect_eq "agent: the signature is carol's" "0 good signature from carol@example.com" \
  "$STATUS $(head -n1 .out)"

# --- Reproducible: same folder, same Ed25519 key, same bytes ---
mkdir same1 same2 same3
SOURCE_DATE_EPOCH=1700000000 pack_alone -o same1/inst.run --sign keys/alice src/pkg
find src/pkg -exec touch -d '2001-02-03 04:05:06' {} +
SOURCE_DATE_EPOCH=1700000000 pack_alone -o same2/inst.run --sign keys/alice src/pkg
for file in inst.run inst.run.sig inst.run.sha256; do
  check "reproducible: $file twice the same" cmp same1/$file same2/$file
done
SOURCE_DATE_EPOCH=1700000000 pack_alone -o same3/inst.run src/pkg
check "reproducible: signing leaves the installer's bytes alone" cmp same1/inst.run same3/inst.run

# --- "Done" means on disk: the three files synced before any takes its name ---

# same_as_before DIR: the installer, its signature and checksum in DIR are
# byte for byte the copies kept in DIR.before.
same_as_before() {
  for file in inst.run inst.run.sig inst.run.sha256; do cmp -s "$1/$file" "$1.before/$file" || return 1; done
  [ "$(listing "$1")" = "$(listing "$1.before")" ]
}
mkdir ordered
# LeakSanitizer cannot work under ptrace (the sanitizer build).
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" strace -o ordered.trace -e trace=fsync,rename \
  "$PACK" -o ordered/inst.run --sign keys/alice src/pkg </dev/null >/dev/null 2>&1
expect_eq "the packer: each file synced, then renamed, then the folder synced" \
  "fsync fsync fsync rename rename rename fsync" \
  "$(grep -oE '^(fsync|rename)' ordered.trace | xargs)"

cp -a ordered ordered.before
"$MORROWLINE_CALL_HOOK" fail 1 fsync EIO "$PACK" -o ordered/inst.run \
  --sign keys/bob src/pkg </dev/null >/dev/null 2>.err && STATUS=0 || STATUS=$?
expect_eq "a sync that fails: status 1, one line" "1 1" "$STATUS $(wc -l <.err)"
check "a sync that fails: the previous files as they were" same_as_before ordered
check "a sync that fails: says which file and why" \
  grep -qE '^morrowline-pack: cannot write installer: ordered/\.inst\.run\.[A-Za-z0-9]{6}: Input/output error$' .err
"$MORROWLINE_CALL_HOOK" fail 4 fsync EIO "$PACK" -o ordered/inst.run --sign keys/bob src/pkg \
  </dev/null >/dev/null 2>.err && STATUS=0 || STATUS=$?
expect_eq "the folder's sync fails: status 1, the files are in place but perhaps not on disk" \
  "1 morrowline-pack: the new files are in place but perhaps not yet on disk: ordered/: Input/output error" \
  "$STATUS $(cat .err)"

# A disk that fails only when its cached writes are flushed: an ext4 on a
# loop device whose sparse file lies on a small tmpfs.
if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && losetup -f >/dev/null 2>&1; then
  mkdir -p flaky.room flaky
  # Room for the file system's own blocks and the first installer, whose
  # program is much bigger in the sanitizer build; not for the second.
  mount -t tmpfs -o size=$(($(stat -c %s "$MORROWLINE_SFX") / 1048576 + 12))M tmpfs flaky.room
  trap 'umount "$SCRATCH/flaky" "$SCRATCH/flaky.room" 2>/dev/null; cleanup' EXIT
  truncate -s 256M flaky.room/disk.img
  mkfs.ext4 -q -F -O ^has_journal flaky.room/disk.img
  mount -o loop flaky.room/disk.img flaky
  pack_alone -o flaky/inst.run --sign keys/alice src/pkg
  expect_eq "a disk that fails at writeback: the first installer fits" "0 " "$STATUS $ERR"
  cp -a flaky flaky.before
  mkdir -p big/pkg
  head -c $((24 << 20)) /dev/urandom >big/pkg/random.bin
  pack_alone -0 -o flaky/inst.run --sign keys/alice big/pkg
  expect_eq "a disk that fails at writeback: status 1, one line" "1 1" "$STATUS $(wc -l <.err)"
  check "a disk that fails at writeback: the previous files as they were" same_as_before flaky
  umount flaky flaky.room
  trap cleanup EXIT
else
  echo "skip - a disk that fails at writeback: needs root, loop devices and mkfs.ext4"
fi

finish
