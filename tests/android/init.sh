#!/bin/busybox sh
# First process of the check VM: runs the phone binary at the real workspace
# path, as an app's user, under Android's app seccomp policy of each API level
# given, and prints one "CHECK <name>: ok" or "CHECK <name>: FAILED ..." line
# per check, then "CHECKS DONE".
/bin/busybox mkdir -p /bin /proc /dev /tmp
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t devtmpfs devtmpfs /dev 2>/dev/null

app_uid=10123
root=/storage/emulated/0
ws="$root/Qorvex制作区"

check() {  # name, condition...
  name=$1; shift
  # awk ends the last line too, so the next CHECK line starts a line of its own.
  if "$@"; then echo "CHECK $name: ok"; else echo "CHECK $name: FAILED"; awk '{print "  | " $0}' /tmp/out; fi
}
fresh_workspace() {
  rm -rf /storage
  mkdir -p "$root"
  cp -a /sample "$ws"
  chown -R "$app_uid:$app_uid" /storage
}
run_tool() {  # api, stdin file, arguments...; the status lands in $status, the output in /tmp/out
  policy=$1 input=$2
  shift 2
  /launcher "/policy-$policy.numbers" "$app_uid" /uexpmod "$@" < "$input" > /tmp/out 2>&1
  status=$?
}
# run_tool with the answer "1"; the threads the tool started land in $threads.
run_counted() {  # api, arguments...
  policy=$1
  shift
  rm -f /tmp/threads
  /launcher -t /tmp/threads "/policy-$policy.numbers" "$app_uid" /uexpmod "$@" < /tmp/answer > /tmp/out 2>&1
  status=$?
  threads=$(cat /tmp/threads 2>/dev/null)
}
says() { grep -qF "$1" /tmp/out; }
# Twenty more copies of the sample's Audio folder: 40 more targets.
widen_workspace() {
  for i in $(seq 20); do cp -a "$ws/uexp解包/Audio" "$ws/uexp解包/Audio$i"; done
}
# The repack folder's files with their sums, in name order.
copies_sums() { (cd "$ws/uexp打包" && find . -type f | sort | xargs md5sum); }
same_copies() { copies_sums | cmp -s - "$1"; }
# The output, as any two runs must print it alike: the menu's colours, drawn
# anew each run, taken out. Everything else, the rewrite stage's lines in the
# order the repack folder lists its files included (on this VM's ramfs the
# order the copies were named in), must be the same byte for byte.
esc=$(printf '\033')
comparable() {  # output file
  sed "s/$esc\[38;5;[0-9]*m//g" "$1"
}
same_output() { comparable /tmp/out > /tmp/comparable && comparable "$1" | cmp -s - /tmp/comparable; }

printf '1\n' > /tmp/answer
for api in $APIS; do
  /launcher "/policy-$api.numbers" "$app_uid" /hello > /tmp/out 2>&1
  status=$?
  check "api$api control: a plain static program is killed (status $status)" [ $status -eq 159 ]

  fresh_workspace
  run_tool "$api" /tmp/answer
  check "api$api whole pass (status $status)" [ $status -eq 0 ]
  check "api$api whole pass: report" says "修改完成，共处理 2 个文件"
  check "api$api whole pass: files" sh -c "cd '$ws' && md5sum -c -s /expected.md5"

  # Several threads. glibc starts each with every signal blocked, and the
  # new thread's set_robust_list is trapped: the tool's clone lets SIGSYS
  # through first, so the call is answered. On a tree of 43 candidates, 4
  # threads must start (the launcher counts them) and leave the output of
  # one thread (as comparable shows it) and its copies, byte for byte.
  fresh_workspace && widen_workspace
  run_counted "$api" -j 1
  check "api$api wide tree on 1 thread (status $status, $threads threads started)" [ $status -eq 0 -a "$threads" = 0 ]
  mv /tmp/out /tmp/out-1
  copies_sums > /tmp/copies-1
  fresh_workspace && widen_workspace
  run_counted "$api" -j 4
  check "api$api wide tree on 4 threads (status $status, $threads threads started)" [ $status -eq 0 -a "$threads" = 4 ]
  check "api$api wide tree on 4 threads: the output of 1" same_output /tmp/out-1
  check "api$api wide tree on 4 threads: the copies of 1" same_copies /tmp/copies-1
  check "api$api wide tree: 42 copies" eval '[ "$(wc -l < /tmp/copies-1)" -eq 42 ] && says "✓ 匹配到 42 个文件"'

  fresh_workspace
  run_tool "$api" /dev/null
  check "api$api end of input at a menu (status $status)" [ $status -eq 1 ]
  check "api$api end of input at a menu: message" says "错误: 输入已结束，未选择任何文件"

  fresh_workspace
  chmod 000 "$ws/配置/示例规则.txt"
  run_tool "$api" /tmp/answer
  check "api$api unreadable rule file (status $status)" [ $status -eq 1 ]
  check "api$api unreadable rule file: message" says "错误: 无法打开配置文件"

  fresh_workspace
  rm "$ws/配置/示例规则.txt"
  run_tool "$api" /tmp/answer
  check "api$api no rule file (status $status)" [ $status -eq 1 ]
  check "api$api no rule file: message" says "错误: 配置目录中没有找到txt文件"

  fresh_workspace
  chmod 000 "$ws/uexp解包/Audio/music.uexp"
  run_tool "$api" /tmp/answer
  check "api$api unreadable file (status $status)" [ $status -eq 0 ]
  check "api$api unreadable file: report" says "✗ 读取失败：music.uexp"
  check "api$api unreadable file: the rest" says "修改完成，共处理 1 个文件"

  # A subfolder that cannot be listed may hold targets: the last set stays.
  fresh_workspace
  chmod 000 "$ws/uexp解包/Maps"
  run_tool "$api" /tmp/answer
  check "api$api unlistable folder (status $status)" [ $status -eq 1 ]
  check "api$api unlistable folder: named" says "✗ 无法访问文件夹 Maps：权限不足"
  check "api$api unlistable folder: the set kept" says "✗ 无法读取解包目录，uexp打包 保留上次完整的内容"

  # Shared storage the app has not been granted: the folder above the
  # workspace cannot be entered, so nothing in it can be listed or made.
  fresh_workspace
  chown 0:0 "$root" && chmod 700 "$root"
  run_tool "$api" /tmp/answer
  check "api$api storage not granted (status $status)" [ $status -eq 1 ]
  check "api$api storage not granted: source folder and remedy" says "✗ 无法访问文件夹 地铁水印：权限不足。请在终端应用中授予存储权限（Termux：运行 termux-setup-storage）后重新运行本工具"
  check "api$api storage not granted: pak folder" says "✗ 无法访问文件夹 pak：权限不足"
  check "api$api storage not granted: the pak menu's message" says "错误: PAK目录中没有找到pak文件"

  # A SIGSYS another process sends is not a trapped call: it still ends the
  # tool, here while it waits at the menu.
  fresh_workspace
  rm -f /tmp/menu && mkfifo /tmp/menu
  /launcher "/policy-$api.numbers" "$app_uid" /uexpmod < /tmp/menu > /tmp/out 2>&1 &
  pid=$!
  exec 3> /tmp/menu
  for _ in $(seq 100); do says "请输入配置文件编号" && break; sleep 0.1; done
  kill -SYS "$pid"
  wait "$pid"
  status=$?
  exec 3>&-
  check "api$api SIGSYS sent at a menu ends the tool (status $status)" eval 'says "请输入配置文件编号" && [ $status -eq 159 ]'
done
echo "CHECKS DONE"
poweroff -f
