#!/usr/bin/env bash
# Cost of the counter plug-ins in OpenLDAP slapd (back-mdb): adds and member
# modifies per second from 1 and 4 clients, 2,000 entries below nested
# holders, in these set-ups: no plug-ins (none), nodetally + attrtally
# (counters), slapdcompat + nodetally + attrtally (compat), slapdcompat
# alone (compatonly, its own cost), slapdcompat + nodetally (compatnode) and
# slapdcompat + attrtally (compatattr).  Each set-up runs with the plug-in
# log in a file and, as "<set-up>/null", with `pluginlog /dev/null`.
# Printed as rates and as ratios to the first set-up.
#
# slapd answers each operation before it runs the post-operation plug-ins,
# so a run ends only when slapd has stopped using the processor (the time
# of its last busy sample, polled from /proc every 0.1 s), not when the
# clients are done; the counters are then checked.
#
# Usage: bench/slapd_counters.sh [build-dir]   (default: build)
# HV_BENCH_NOSYNC=1 runs back-mdb with dbnosync: no disk flush per write,
# which leaves the processing cost of the plug-ins.
# HV_BENCH_SETUPS="none compat ..." picks set-ups (default: none counters
# compat compatonly), HV_BENCH_PLUGINLOG=file|null|both the plug-in log
# destinations (default: file), HV_BENCH_CLIENTS the client counts
# (default: "1 4"), HV_BENCH_ENTRIES the number of entries (default 2000).
# Needs /usr/sbin/slapd and ldap-utils; uses a temporary directory and a
# free port on 127.0.0.1, and stops its own server.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
plugins=$build/lib
schema=$here/tests/openldap/counters.schema
entries=${HV_BENCH_ENTRIES:-2000}
setups=${HV_BENCH_SETUPS:-none counters compat compatonly}
client_counts=${HV_BENCH_CLIENTS:-1 4}
case "${HV_BENCH_PLUGINLOG:-file}" in
  file) logs="file" ;;
  null) logs="null" ;;
  both) logs="file null" ;;
  *) echo "HV_BENCH_PLUGINLOG: file, null or both" >&2; exit 2 ;;
esac
suffix="dc=example,dc=com"
rootdn="cn=admin,$suffix"
for f in "$plugins/nodetally.so" "$plugins/attrtally.so" "$plugins/slapdcompat.so" /usr/sbin/slapd; do
  [ -e "$f" ] || { echo "missing: $f" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/hv-slapd-bench.XXXXXX")
pid=""
stop() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
  fi
}
trap 'stop; rm -rf "$work"' EXIT

# A port nothing listens on now (slapd then takes it).
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<> "/dev/tcp/127.0.0.1/$p") 2> /dev/null; then
      echo "$p"
      return
    fi
  done
}

# div <a> <b>: a / b; rate <count> <from> <to>: count per second.
div() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6f", a / b }'; }
rate_of() { awk -v n="$1" -v t0="$2" -v t1="$3" 'BEGIN { printf "%.6f", n / (t1 - t0) }'; }

now() { date +%s.%N; }

# start <set-up> <log>: a fresh database and server with the set-up's
# plug-ins and the plug-in log in a file (file) or thrown away (null).
start() {
  stop
  rm -rf "$work/db" && mkdir -p "$work/db"
  port=$(free_port)
  url="ldap://127.0.0.1:$port/"
  {
    echo "include /etc/ldap/schema/core.schema"
    echo "include $schema"
    echo "pidfile $work/slapd.pid"
    echo "argsfile $work/slapd.args"
    if [ "$2" = null ]; then echo "pluginlog /dev/null"; else echo "pluginlog $work/plugin.log"; fi
    echo "loglevel 0"
    echo "modulepath /usr/lib/ldap"
    echo "moduleload back_mdb"
    echo "database mdb"
    echo "maxsize 1073741824"
    echo "suffix \"$suffix\""
    echo "rootdn \"$rootdn\""
    echo "rootpw secret"
    echo "directory $work/db"
    [ "${HV_BENCH_NOSYNC:-0}" = 1 ] && echo "dbnosync"
    case "$1" in
      compat|compatonly|compatnode|compatattr)
        echo "plugin postoperation $plugins/slapdcompat.so SlapdCompat_Init" ;;
    esac
    case "$1" in
      counters|compat|compatnode)
        echo "plugin postoperation $plugins/nodetally.so HVSubtreeEntryCounterPostOp_Init counterAttribute=hvEntryCount counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted" ;;
    esac
    case "$1" in
      counters|compat|compatattr)
        echo "plugin postoperation $plugins/attrtally.so HVAttrtallyPostOp_Init memberAttribute=hvMember counterAttribute=hvMemberCount requiredObjectClass=hvGroup updateParents=true" ;;
    esac
  } > "$work/slapd.conf"
  : > "$work/plugin.log"
  /usr/sbin/slapd -f "$work/slapd.conf" -h "$url" -d 0 > "$work/slapd.out" 2>&1 &
  pid=$!
  for _ in $(seq 300); do
    ldapsearch -x -H "$url" -b "" -s base -LLL namingContexts > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "slapd did not start:" >&2
  tail -n 20 "$work/slapd.out" >&2
  exit 1
}

client() { "$1" -x -H "$url" -D "$rootdn" -w secret "${@:2}"; }

# The tree: ou=org and ou=unit<k> below it, both holders and groups; the
# entries go below the units, each counted and a group with one member.
tree() {
  cat > "$work/tree.ldif" <<EOF
dn: $suffix
objectClass: dcObject
objectClass: organization
o: Example
dc: example

dn: ou=org,$suffix
objectClass: organizationalUnit
objectClass: hvCounterHolder
objectClass: hvGroup
ou: org

EOF
  for k in 0 1 2 3; do
    printf 'dn: ou=unit%d,ou=org,%s\nobjectClass: organizationalUnit\nobjectClass: hvCounterHolder\nobjectClass: hvGroup\nou: unit%d\n\n' \
      "$k" "$suffix" "$k" >> "$work/tree.ldif"
  done
  client ldapadd -f "$work/tree.ldif" > /dev/null
}

# Files of adds and of member modifies, one pair per client.
write_batches() {
  local clients=$1 per=$((entries / clients)) c i n
  for ((c = 0; c < clients; c++)); do
    : > "$work/add$c.ldif"
    : > "$work/mod$c.ldif"
    for ((i = 0; i < per; i++)); do
      n=$((c * per + i))
      printf 'dn: cn=e%d,ou=unit%d,ou=org,%s\nobjectClass: organizationalRole\nobjectClass: hvCounted\nobjectClass: hvGroup\ncn: e%d\nhvMember: m0\n\n' \
        "$n" $((n % 4)) "$suffix" "$n" >> "$work/add$c.ldif"
      printf 'dn: cn=e%d,ou=unit%d,ou=org,%s\nchangetype: modify\nadd: hvMember\nhvMember: m1\n-\n\n' \
        "$n" $((n % 4)) "$suffix" >> "$work/mod$c.ldif"
    done
  done
}

counter() {
  client ldapsearch -LLL -b "ou=org,$suffix" -s base "(objectClass=*)" "$1" | sed -n "s/^$1: //p"
}

# Processor time slapd has used so far, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }

# settle <since>: waits until slapd has been idle for 0.5 s and prints the
# time of its last busy sample (not before <since>, when the clients were done).
settle() {
  local last=$1 ticks prev quiet=0 t
  prev=$(cpu_ticks)
  while [ "$quiet" -lt 5 ]; do
    sleep 0.1
    t=$(now)
    ticks=$(cpu_ticks)
    if [ "$ticks" != "$prev" ]; then
      last=$t quiet=0 prev=$ticks
    else
      quiet=$((quiet + 1))
    fi
  done
  awk -v a="$last" -v b="$1" 'BEGIN { printf "%s", (a > b ? a : b) }'
}

# expect <attribute> <value>: the counter of ou=org reads the value.
expect() {
  local got
  got=$(counter "$1")
  [ "$got" = "$2" ] && return 0
  echo "$setup/$log: $1 of ou=org reads ${got:-nothing}, not $2" >&2
  exit 1
}

# run <tool> <file prefix> <clients>: the clients at once.
run() {
  local tool=$1 prefix=$2 clients=$3 c pids=()
  for ((c = 0; c < clients; c++)); do
    if [ "$tool" = ldapadd ]; then
      client ldapadd -f "$work/$prefix$c.ldif" > /dev/null &
    else
      client ldapmodify -f "$work/$prefix$c.ldif" > /dev/null &
    fi
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p"; done
}

declare -A rate
names=()
for clients in $client_counts; do
  write_batches "$clients"
  for setup in $setups; do
    for log in $logs; do
      name=$setup
      [ "$log" = null ] && name=$setup/null
      [ "$clients" = "${client_counts%% *}" ] && names+=("$name")
      start "$setup" "$log"
      tree
      t0=$(now)
      run ldapadd add "$clients"
      t1=$(settle "$(now)")
      case "$setup" in counters|compat|compatnode) expect hvEntryCount "$entries" ;; esac
      t2=$(now)
      run ldapmodify mod "$clients"
      t3=$(settle "$(now)")
      # Without slapdcompat member modifies are not counted at all.
      case "$setup" in
        compat|compatattr) expect hvMemberCount $((2 * entries)) ;;
        counters) expect hvMemberCount "$entries" ;;
      esac
      rate[$name,$clients,add]=$(rate_of "$entries" "$t0" "$t1")
      rate[$name,$clients,mod]=$(rate_of "$entries" "$t2" "$t3")
      [ "$log" = file ] && rate[$name,$clients,log]=$(stat -c %s "$work/plugin.log")
      stop
    done
  done
done

first=${names[0]}
printf '%-17s %-8s %12s %12s %8s %8s %14s\n' set-up clients "adds/s" "modifies/s" "add x" "mod x" "log B/op"
for clients in $client_counts; do
  for name in "${names[@]}"; do
    a=${rate[$name,$clients,add]} m=${rate[$name,$clients,mod]}
    lb=-
    [ -n "${rate[$name,$clients,log]:-}" ] && lb=$(awk -v b="${rate[$name,$clients,log]}" -v n="$entries" 'BEGIN { printf "%.0f", b / (2 * n) }')
    printf '%-17s %-8s %12.0f %12.0f %8.2f %8.2f %14s\n' "$name" "$clients" "$a" "$m" \
      "$(div "$a" "${rate[$first,$clients,add]}")" "$(div "$m" "${rate[$first,$clients,mod]}")" "$lb"
  done
done
