#!/bin/sh
# Lays down a private Postfix instance in DIR for the end-to-end tests and the
# benchmark: its own configuration (DIR/etc), queue, data directory, log file
# (DIR/log/maillog) and test certificates (DIR/certs), listening on
# 127.0.0.1:PORT only, asking keelgate at CONNECT (127.0.0.1:998) and at MAIL
# (127.0.0.1:999), and delivering every message for keelgate.test into the
# maildir DIR/mail/inbox/. It does not start Postfix and must run in a network
# namespace of its own when the ports could clash with another instance.
#   postfix-instance.sh DIR PORT          then: postfix -c DIR/etc start
#
# Certificates (EC P-256, valid two days): ca.pem signs server.pem
# (CN mx.keelgate.test) and client.pem (CN client.partner.test); rogue.pem
# (CN rogue.partner.test) is self-signed, a client certificate Postfix cannot
# verify.
set -e
dir=${1:?usage: postfix-instance.sh DIR PORT}
port=${2:?usage: postfix-instance.sh DIR PORT}
mkdir -p "$dir/etc" "$dir/queue" "$dir/data" "$dir/mail" "$dir/log" "$dir/certs"
chmod 755 "$dir"

certs="$dir/certs"
ec="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
openssl req -x509 $ec -keyout "$certs/ca.key" -out "$certs/ca.pem" -subj "/CN=keelgate test CA" 2>/dev/null
openssl req -x509 $ec -keyout "$certs/rogue.key" -out "$certs/rogue.pem" -subj "/CN=rogue.partner.test" 2>/dev/null
for pair in server:mx.keelgate.test client:client.partner.test; do
  name=${pair%%:*}
  openssl req $ec -keyout "$certs/$name.key" -out "$certs/$name.csr" -subj "/O=Partner/CN=${pair#*:}" 2>/dev/null
  openssl x509 -req -in "$certs/$name.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
    -days 2 -out "$certs/$name.pem" 2>/dev/null
done

: > "$dir/etc/main.cf"
cp /etc/postfix/master.cf "$dir/etc/master.cf"
pc="postconf -c $dir/etc"
$pc -e \
  "compatibility_level = 3.6" \
  "queue_directory = $dir/queue" \
  "data_directory = $dir/data" \
  "maillog_file = $dir/log/maillog" \
  "maillog_file_prefixes = $dir/log" \
  "myhostname = mx.keelgate.test" \
  "inet_interfaces = 127.0.0.1" \
  "inet_protocols = ipv4" \
  "mynetworks = 127.0.0.0/8" \
  "mydestination =" \
  "alias_maps =" \
  "alias_database =" \
  "virtual_mailbox_domains = keelgate.test" \
  "virtual_mailbox_base = $dir/mail" \
  "virtual_mailbox_maps = static:inbox/" \
  "virtual_uid_maps = static:$(id -u postfix)" \
  "virtual_gid_maps = static:$(id -g postfix)" \
  "smtpd_tls_security_level = may" \
  "smtpd_tls_cert_file = $certs/server.pem" \
  "smtpd_tls_key_file = $certs/server.key" \
  "smtpd_tls_ask_ccert = yes" \
  "smtpd_tls_CAfile = $certs/ca.pem" \
  "smtpd_tls_loglevel = 1" \
  "smtpd_tls_received_header = yes" \
  "smtpd_delay_reject = no" \
  "smtpd_client_restrictions = check_policy_service inet:127.0.0.1:998" \
  "smtpd_sender_restrictions = check_policy_service inet:127.0.0.1:999" \
  "smtpd_policy_service_request_limit = 1" \
  "smtpd_policy_service_timeout = 10s" \
  "smtpd_policy_service_try_limit = 2" \
  "smtpd_policy_service_default_action = 451 4.3.5 Server configuration problem"
$pc -M# smtp/inet
$pc -M "$port/inet = $port inet n - n - - smtpd"
$pc -F '*/*/chroot = n'
chown postfix "$dir/data" "$dir/mail"
