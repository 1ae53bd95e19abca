#!/usr/bin/env bash
# httpd.sh start|stop BUILD: the build's own Apache httpd for the tests of the
# policy over HTTP. It serves one WebDAV folder (GET with ETags, conditional
# PUT) on 127.0.0.1 at a free port, as no system service: the configuration
# is generated, and everything it writes stays in BUILD/httpd: docs/ (the
# served folder), port (the port it listens on), run/ (pid, lock database),
# logs/, where access.log has a line per request: method, path, status,
# If-None-Match, If-Match.
set -eu
action=$1
build=$2
dir=$build/httpd
conf=$dir/httpd.conf
apache=/usr/sbin/apache2
modules=/usr/lib/apache2/modules

stop() {
  local pidfile=$dir/run/httpd.pid pid
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    "$apache" -f "$conf" -k stop </dev/null >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
      echo "httpd: process $pid did not stop" >&2
      return 1
    fi
  fi
  rm -f "$pidfile"
}

write_conf() {
  local port=$1
  cat >"$conf" <<EOF
ServerRoot "$dir"
DefaultRuntimeDir "$dir/run"
PidFile "$dir/run/httpd.pid"
ErrorLog "$dir/logs/error.log"
LogLevel warn
LoadModule mpm_prefork_module $modules/mod_mpm_prefork.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule dav_module $modules/mod_dav.so
LoadModule dav_fs_module $modules/mod_dav_fs.so
LoadModule headers_module $modules/mod_headers.so
$user_lines
ServerName 127.0.0.1
Listen 127.0.0.1:$port
# One request at a time: mod_dav tests If-Match and then writes, and two
# PUTs at once could both pass the test. No keep-alive, so that one client
# never holds the only worker.
StartServers 1
MinSpareServers 1
MaxSpareServers 1
ServerLimit 1
MaxRequestWorkers 1
KeepAlive Off
# Tags from the content: strong at once, where tags from the time are weak
# for a second after a change (and If-Match never matches a weak tag).
FileETag Digest
DocumentRoot "$dir/docs"
DavLockDB "$dir/run/davlock"
<Directory />
  Require all denied
</Directory>
<Directory "$dir/docs">
  Dav On
  Require all granted
</Directory>
# A policy that another writer seems to change between every read and
# write: its tag is never the one a conditional PUT finds.
<Directory "$dir/docs/always-changed">
  Header set ETag "\"changed-again\""
</Directory>
# Tags from the time, as httpd gives them by default: weak for a second
# after each change.
<Directory "$dir/docs/time-tags">
  FileETag MTime Size
</Directory>
CustomLog "$dir/logs/access.log" "%m %U %>s \"%{If-None-Match}i\" \"%{If-Match}i\""
EOF
}

case "$action" in
stop)
  stop
  ;;
start)
  if [ ! -x "$apache" ] || [ ! -f "$modules/mod_dav_fs.so" ]; then
    echo "httpd: $apache or its modules are missing (Debian package apache2-bin)" >&2
    exit 1
  fi
  stop  # one left over from an interrupted run
  rm -rf "$dir"
  mkdir -p "$dir/docs/always-changed" "$dir/docs/time-tags" "$dir/run" "$dir/logs"
  user_lines=""
  if [ "$(id -u)" = 0 ]; then
    # Started by root, httpd serves as an unprivileged user, who must be able
    # to write the served folder and the lock database.
    user_lines="User nobody
Group $(id -gn nobody)"
    chown nobody "$dir/docs" "$dir/docs/always-changed" "$dir/docs/time-tags" "$dir/run"
  fi
  # A configuration this httpd does not take fails at once, not per port.
  write_conf 8
  if ! "$apache" -f "$conf" -t </dev/null >"$dir/logs/start.log" 2>&1; then
    echo "httpd: the generated configuration is refused:" >&2
    cat "$dir/logs/start.log" >&2
    exit 1
  fi
  for _ in $(seq 20); do
    port=$((20000 + RANDOM % 40000))
    # Taken already: try another.
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && continue
    write_conf "$port"
    if "$apache" -f "$conf" -k start </dev/null >>"$dir/logs/start.log" 2>&1; then
      # httpd listens before it writes its pid: wait for both, or a stop
      # right after this start would find no pid and leave it running.
      for _ in $(seq 100); do
        if [ -s "$dir/run/httpd.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
          echo "$port" >"$dir/port"
          echo "httpd: http://127.0.0.1:$port/ serves $dir/docs"
          exit 0
        fi
        sleep 0.1
      done
      stop
    fi
  done
  echo "httpd: could not start; see $dir/logs" >&2
  cat "$dir/logs/start.log" >&2 || true
  exit 1
  ;;
*)
  echo "usage: httpd.sh start|stop BUILD" >&2
  exit 2
  ;;
esac
