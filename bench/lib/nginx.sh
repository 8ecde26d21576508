# Sourced by benchmarks: nginx on 127.0.0.1, and certificates for it made here.
# make_certificates DIR: a CA (DIR/ca.pem) and a certificate for 127.0.0.1 signed by it
# (DIR/server.pem, DIR/server.key), elliptic-curve keys, valid two days.
make_certificates() {
    local dir="$1" curve=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 -new "${curve[@]}" -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
        -subj "/CN=Velmora bench CA" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    openssl req -new "${curve[@]}" -keyout "$dir/server.key" -out "$dir/server.csr" \
        -subj /CN=127.0.0.1 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
        >"$dir/server.ext"
    openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -set_serial 2 \
        -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
}

# start_nginx DIR SERVER-BLOCKS: nginx with its files in DIR, serving the given server blocks;
# stop_nginx stops it.
nginxDir=
start_nginx() {
    nginxDir="$1"
    mkdir -p "$nginxDir/temp"
    chmod 755 "$nginxDir"
    cat >"$nginxDir/nginx.conf" <<CONF
worker_processes 1;
pid $nginxDir/nginx.pid;
error_log $nginxDir/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    keepalive_timeout 60;
    default_type application/octet-stream;
    client_body_temp_path $nginxDir/temp/body;
    proxy_temp_path $nginxDir/temp/proxy;
    fastcgi_temp_path $nginxDir/temp/fastcgi;
    uwsgi_temp_path $nginxDir/temp/uwsgi;
    scgi_temp_path $nginxDir/temp/scgi;
$2
}
CONF
    nginx -p "$nginxDir" -c "$nginxDir/nginx.conf" -e "$nginxDir/error.log"
}
stop_nginx() {
    if [ -n "$nginxDir" ] && [ -f "$nginxDir/nginx.pid" ]; then
        nginx -p "$nginxDir" -c "$nginxDir/nginx.conf" -e "$nginxDir/error.log" -s stop 2>/dev/null || true
    fi
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
