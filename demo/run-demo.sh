#!/usr/bin/env bash
# Runs the demo: the sample blog and the proxy in front of it, until Ctrl-C stops both.
#
# Usage: demo/run-demo.sh [BUILD_DIR]   (`make demo` builds first and calls this)
# Environment: DEMO_DIR (working directory, default demo-run), DEMO_PORT (the proxy, default
# 4040), DEMO_BLOG_PORT (the sample blog, default 4080). The working directory gets a fresh
# mivrel.conf on every start; authors hidden with the "X" links are appended to it.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
demo_dir="${DEMO_DIR:-$root/demo-run}"
proxy_port="${DEMO_PORT:-4040}"
blog_port="${DEMO_BLOG_PORT:-4080}"

for program in "$build/mivrel" "$build/demo/sample_blog"; do
  if [ ! -x "$program" ]; then
    echo "demo: $program is missing; run 'make demo' (or 'make build' first)." >&2
    exit 1
  fi
done

listening() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

for port in "$proxy_port" "$blog_port"; do
  if listening "$port"; then
    echo "demo: port $port on 127.0.0.1 is taken; set DEMO_PORT / DEMO_BLOG_PORT to free ports." >&2
    exit 1
  fi
done

mkdir -p "$demo_dir"
cat >"$demo_dir/mivrel.conf" <<EOF
# mivrel.conf for the demo, written afresh by demo/run-demo.sh at every start.
# Lines starting with "#" are comments; the "X" links append "name" and "link" lines below.

# The blog to filter: here the sample blog that the demo started on this machine.
server 127.0.0.1:$blog_port

# The address the proxy listens on and writes into the pages' links.
host 127.0.0.1

# The proxy's port: the one to open in the browser.
port $proxy_port

# A troll: every comment signed with this name is hidden.
name Grumbleweed

# Someone who only writes in capitals.
name Captain Caps

# A spammer known by the link on the name, whatever name is signed.
link http://spin-to-win.example/

# A word: comments holding it as a whole word, in any letter case, are hidden.
cont casino

# An advertising host: scripts that mention it are cut out of the pages.
xurl ads.glimmerbanner.invalid
EOF

blog_pid=""
proxy_pid=""
stop() {
  trap - INT TERM EXIT
  for pid in $proxy_pid $blog_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $proxy_pid $blog_pid; do
    wait "$pid" 2>/dev/null || true
  done
  echo
  echo "demo: stopped the proxy and the sample blog."
}
trap stop EXIT
# Ctrl-C is the normal way to end the demo, so it ends with status 0.
trap 'exit 0' INT
trap 'exit 143' TERM

"$build/demo/sample_blog" "$blog_port" &
blog_pid=$!
(cd "$demo_dir" && exec "$build/mivrel") &
proxy_pid=$!

# Both listen within a moment; give up after about five seconds.
for _ in $(seq 50); do
  if listening "$blog_port" && listening "$proxy_port"; then
    break
  fi
  if ! kill -0 "$blog_pid" 2>/dev/null || ! kill -0 "$proxy_pid" 2>/dev/null; then
    break
  fi
  sleep 0.1
done
if ! listening "$blog_port" || ! listening "$proxy_port"; then
  echo "demo: the sample blog or the proxy did not start; see the messages above." >&2
  exit 1
fi

echo
echo "demo: open http://127.0.0.1:$proxy_port/ in a browser (the blog itself: http://127.0.0.1:$blog_port/)."
echo "demo: a discussion: http://127.0.0.1:$proxy_port/discussion/lighthouse-auction"
echo "demo: settings and kill file: $demo_dir/mivrel.conf. Press Ctrl-C to stop."
echo

# Returns when either program ends, or at once when Ctrl-C runs the trap.
wait -n "$blog_pid" "$proxy_pid" || true
echo "demo: the sample blog or the proxy stopped by itself." >&2
exit 1
