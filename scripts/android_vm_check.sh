#!/usr/bin/env bash
# Runs the phone binary (build-android/uexpmod, from build_android.sh) on a
# real aarch64 Linux kernel, booted under qemu-system-aarch64, inside the
# seccomp filter Android puts on app processes: the API-26 and the API-35
# lists of tests/android/, with every other call trapped (SIGSYS) as Android
# does, on two processors. Over a sample workspace at the real workspace
# path, it checks a whole pass, a run on 4 threads against one on 1 (the
# threads counted, the output and the copies compared) and the error paths
# (end of input at a menu, an unreadable or missing rule file, unreadable
# files) by exit status, output and files. A plain
# static C program must be killed in the same boot (status 159), or the check
# itself is broken. Then audits the system calls the binary can make.
#
# Needs qemu-system-arm, qemu-user, g++-aarch64-linux-gnu and cpio; fetches
# Debian's arm64 kernel and busybox-static with apt-get download (adding the
# arm64 architecture to dpkg when run as root).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-android
vm=$build/vm
apis=${APIS:-"26 35"}
[ -x "$build/uexpmod" ] && [ -x "$build/check/uexpmod" ] || { echo "run scripts/build_android.sh first" >&2; exit 1; }

# Debian's arm64 kernel (an uncompressed Image) and a static busybox.
mkdir -p "$vm/debs"
if [ ! -f "$vm/Image" ] || [ ! -f "$vm/busybox" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt-get update -q
  fi
  kernel=$(apt-cache depends linux-image-arm64:arm64 | awk '/Depends: linux-image-/ {print $2; exit}')
  (cd "$vm/debs" && rm -f ./*.deb && apt-get download -q "$kernel" busybox-static:arm64 2>/dev/null)
  dpkg-deb --fsys-tarfile "$vm"/debs/linux-image-*.deb | tar -xO --wildcards './boot/vmlinuz-*' > "$vm/Image"
  dpkg-deb --fsys-tarfile "$vm"/debs/busybox-static_*.deb | tar -xO ./bin/busybox > "$vm/busybox"
fi

# The files the whole pass must leave, as the same build leaves them under qemu-user.
ws=$build/check-workspace
"$repo/scripts/make_sample_workspace.sh" "$ws"
printf '1\n' | qemu-aarch64 -strace -D "$vm/pass.strace" "$build/check/uexpmod" > /dev/null
expected=$(cd "$ws" && md5sum uexp打包/Audio/Banks/voice_01.uexp uexp打包/Audio/music.uexp pak/voice_mod.pak)

# The initramfs: busybox, the launcher, the control, the binary, the policies
# as numbers, the sample workspace and the expected sums.
root=$vm/root
rm -rf "$root" && mkdir -p "$root/bin"
install -m 755 "$vm/busybox" "$root/bin/busybox"
install -m 755 "$repo/tests/android/init.sh" "$root/init"
sed -i "s/^app_uid=/APIS='$apis'\n&/" "$root/init"
aarch64-linux-gnu-gcc -static -O2 -Wall -Wextra -Werror -o "$root/launcher" "$repo/tests/android/seccomp_launcher.c"
aarch64-linux-gnu-gcc -static -O2 -o "$root/hello" "$repo/tests/android/hello.c"
cp "$build/uexpmod" "$root/uexpmod"
for api in $apis; do
  python3 "$repo/scripts/android_syscalls.py" numbers "$api" > "$root/policy-$api.numbers"
done
"$repo/scripts/make_sample_workspace.sh" "$root/sample"
printf '%s\n' "$expected" > "$root/expected.md5"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$vm/initramfs.gz"

echo "booting aarch64 Linux under qemu-system-aarch64; API levels: $apis"
timeout 600 qemu-system-aarch64 -machine virt -cpu cortex-a57 -smp 2 -m 512 -nographic -no-reboot -nic none \
  -kernel "$vm/Image" -initrd "$vm/initramfs.gz" \
  -append "console=ttyAMA0 quiet panic=-1 rdinit=/init" < /dev/null > "$vm/console.log" 2>&1 || true
tr -d '\r' < "$vm/console.log" | grep -E '^(CHECK|  \|)' || true
if ! grep -q '^CHECKS DONE' "$vm/console.log" || grep -q '^CHECK .*: FAILED' "$vm/console.log"; then
  echo "the VM check failed; the console is in $vm/console.log" >&2
  exit 1
fi
echo "the phone binary ran under Android's app seccomp policies: ok"

echo "== system call audit"
python3 "$repo/scripts/android_syscalls.py" audit "$build/phone/uexpmod" "$vm/pass.strace"
