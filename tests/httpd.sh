#!/usr/bin/env bash
# httpd.sh start|stop BUILD: the build's own Apache httpd for the tests of the
# policy over HTTP. It serves one WebDAV folder (GET with ETags, conditional
# PUT) on 127.0.0.1 at a free port, as no system service: the configuration
# is generated, and everything it writes stays in BUILD/httpd: docs/ (the
# served folder), port (the port it listens on), run/ (pid, lock database),
# logs/, where access.log has a line per request: method, path, status,
# If-None-Match, If-Match, the authenticated user ("-" when none).
#
# The same folder is also served over TLS, with Basic authentication, at
# ports named in tls-ports ("name port" lines):
#   good        a certificate for localhost and 127.0.0.1 from the run's CA
#   wrong-name  one from that CA for another host
#   expired     one from that CA whose dates have passed
#   stranger    one for localhost and 127.0.0.1 from a CA nobody trusts
# The run's CA is made anew each start (tls/ca.der); the tests trust it in
# their Wine prefix, never on the host. Over TLS anyone may read, only the
# user admin may write, and under private/ reading needs a user too. The
# users and passwords are in tls/users ("user password" lines).
set -eu
action=$1
build=$2
dir=$build/httpd
tls=$dir/tls
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

# make_ca NAME: a self-signed CA, NAME.pem and NAME.key.
make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls/$1.key" -out "$tls/$1.pem" \
    -days 3 -subj "/CN=VOK test $1 $$ $RANDOM" \
    -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>>"$dir/logs/start.log"
}

# make_cert NAME CA SAN START END: a server certificate signed by CA.
make_cert() {
  local name=$1 ca=$2 san=$3 start=$4 end=$5 db=$tls/db-$1
  mkdir -p "$db"
  : >"$db/index"
  openssl rand -hex 8 >"$db/serial"
  cat >"$db/conf" <<CONF
[ca]
default_ca = this
[this]
database = $db/index
new_certs_dir = $db
serial = $db/serial
default_md = sha256
policy = any
x509_extensions = server
unique_subject = no
[any]
commonName = supplied
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $san
CONF
  openssl req -new -newkey rsa:2048 -nodes -keyout "$tls/$name.key" -out "$db/csr" \
    -subj "/CN=$name" 2>>"$dir/logs/start.log"
  openssl ca -batch -notext -config "$db/conf" -cert "$tls/$ca.pem" -keyfile "$tls/$ca.key" \
    -startdate "$start" -enddate "$end" -in "$db/csr" -out "$tls/$name.pem" \
    2>>"$dir/logs/start.log"
}

make_tls() {
  mkdir -p "$tls"
  local now later
  now=$(date -u +%Y%m%d%H%M%SZ)
  later=$(date -u -d '+2 days' +%Y%m%d%H%M%SZ)
  make_ca ca
  make_ca stranger-ca
  make_cert good ca "DNS:localhost,IP:127.0.0.1" "$now" "$later"
  make_cert wrong-name ca "DNS:policy.wrong.example" "$now" "$later"
  make_cert expired ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20200102000000Z
  make_cert stranger stranger-ca "DNS:localhost,IP:127.0.0.1" "$now" "$later"
  openssl x509 -in "$tls/ca.pem" -outform DER -out "$tls/ca.der"
  # Passwords made per run, as apr1 lines, which mod_authn_file takes.
  : >"$tls/users"
  : >"$dir/passwords"
  local user password
  for user in admin reader; do
    password=$(openssl rand -hex 12)
    echo "$user $password" >>"$tls/users"
    echo "$user:$(openssl passwd -apr1 "$password")" >>"$dir/passwords"
  done
}

# tls_host NAME PORT: a TLS virtual host with the certificate NAME.
tls_host() {
  cat <<EOF
Listen 127.0.0.1:$2
<VirtualHost 127.0.0.1:$2>
  SSLEngine on
  SSLCertificateFile "$tls/$1.pem"
  SSLCertificateKeyFile "$tls/$1.key"
  # Anyone reads, only admin writes. The read rule has a <Limit> of its
  # own: a Require beside the write rule would be OR-ed with it.
  <Location />
    AuthType Basic
    AuthName "VOK policy"
    AuthBasicProvider file
    AuthUserFile "$dir/passwords"
    <Limit GET HEAD OPTIONS>
      Require all granted
    </Limit>
    <LimitExcept GET HEAD OPTIONS>
      Require user admin
    </LimitExcept>
  </Location>
  <Location /private/>
    <Limit GET HEAD OPTIONS>
      Require valid-user
    </Limit>
    <LimitExcept GET HEAD OPTIONS>
      Require user admin
    </LimitExcept>
  </Location>
</VirtualHost>
EOF
}

write_conf() {
  local port=$1
  local tls_hosts="" name
  for name in good wrong-name expired stranger; do
    tls_hosts+=$(tls_host "$name" "${tls_port[$name]}")$'\n'
  done
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
LoadModule ssl_module $modules/mod_ssl.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule authz_user_module $modules/mod_authz_user.so
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
# Never the Authorization header: the user's name only.
CustomLog "$dir/logs/access.log" "%m %U %>s \"%{If-None-Match}i\" \"%{If-Match}i\" %u"
$tls_hosts
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
  mkdir -p "$dir/docs/always-changed" "$dir/docs/time-tags" "$dir/docs/private" "$dir/run" \
    "$dir/logs"
  make_tls
  user_lines=""
  if [ "$(id -u)" = 0 ]; then
    # Started by root, httpd serves as an unprivileged user, who must be able
    # to write the served folder and the lock database.
    user_lines="User nobody
Group $(id -gn nobody)"
    chown nobody "$dir/docs" "$dir/docs/always-changed" "$dir/docs/time-tags" \
      "$dir/docs/private" "$dir/run"
    # It reads the keys and passwords as that user.
    chmod o+r "$tls"/*.key "$dir/passwords"
  fi
  # A configuration this httpd does not take fails at once, not per port.
  declare -A tls_port=([good]=9 [wrong-name]=10 [expired]=11 [stranger]=12)
  write_conf 8
  if ! "$apache" -f "$conf" -t </dev/null >"$dir/logs/start.log" 2>&1; then
    echo "httpd: the generated configuration is refused:" >&2
    cat "$dir/logs/start.log" >&2
    exit 1
  fi
  for _ in $(seq 20); do
    # Five ports in a row, the first for plain http.
    port=$((20000 + RANDOM % 40000))
    taken=0
    for p in $(seq "$port" $((port + 4))); do
      # Taken already: try others.
      (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && taken=1
    done
    [ "$taken" = 0 ] || continue
    tls_port=([good]=$((port + 1)) [wrong-name]=$((port + 2)) [expired]=$((port + 3))
      [stranger]=$((port + 4)))
    write_conf "$port"
    if "$apache" -f "$conf" -k start </dev/null >>"$dir/logs/start.log" 2>&1; then
      # httpd listens before it writes its pid: wait for both, or a stop
      # right after this start would find no pid and leave it running.
      for _ in $(seq 100); do
        if [ -s "$dir/run/httpd.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
          echo "$port" >"$dir/port"
          for name in good wrong-name expired stranger; do
            echo "$name ${tls_port[$name]}"
          done >"$dir/tls-ports"
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
