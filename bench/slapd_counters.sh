#!/usr/bin/env bash
# Cost of the counter plug-ins in OpenLDAP slapd (back-mdb): adds and member
# modifies per second from 1 and 4 clients, 2,000 entries below nested
# holders, in four set-ups: no plug-ins (none), nodetally + attrtally
# (counters), slapdcompat + nodetally + attrtally (compat), and slapdcompat
# alone (compatonly, its own cost).  Printed as rates and as ratios to the
# first set-up.
#
# slapd answers each operation before it runs the post-operation plug-ins,
# so a run ends only when the counters are final (polled with ldapsearch),
# not when the clients are done.
#
# Usage: bench/slapd_counters.sh [build-dir]   (default: build)
# HV_BENCH_NOSYNC=1 runs back-mdb with dbnosync: no disk flush per write,
# which leaves the processing cost of the plug-ins.
# Needs /usr/sbin/slapd and ldap-utils; uses a temporary directory and a
# free port on 127.0.0.1, and stops its own server.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
plugins=$build/lib
schema=$here/tests/openldap/counters.schema
entries=2000
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

# start <set-up>: a fresh database and server with the set-up's plug-ins.
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
    echo "pluginlog $work/plugin.log"
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
      compat|compatonly)
        echo "plugin postoperation $plugins/slapdcompat.so SlapdCompat_Init" ;;
    esac
    case "$1" in
      counters|compat)
        echo "plugin postoperation $plugins/nodetally.so HVSubtreeEntryCounterPostOp_Init counterAttribute=hvEntryCount counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted"
        echo "plugin postoperation $plugins/attrtally.so HVAttrtallyPostOp_Init memberAttribute=hvMember counterAttribute=hvMemberCount requiredObjectClass=hvGroup updateParents=true" ;;
    esac
  } > "$work/slapd.conf"
  : > "$work/plugin.log"
  /usr/sbin/slapd -f "$work/slapd.conf" -h "$url" -d 0 > "$work/slapd.out" 2>&1 &
  pid=$!
  for _ in $(seq 150); do
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

# settle <op> <lines> [<attribute> <value>]: waits until attrtally, the last
# plug-in, has begun <lines> handlers of <op> (ADD or MODIFY), then, when
# given, until the counter of ou=org reads the value.
settle() {
  case "$setup" in none|compatonly) return 0 ;; esac
  local i
  for ((i = 0; i < 6000; i++)); do
    [ "$(grep -c "HVAttrtally: POSTOP $1 begin" "$work/plugin.log")" -ge "$2" ] && break
    sleep 0.05
  done
  [ $# -lt 4 ] && return 0
  for ((i = 0; i < 6000; i++)); do
    [ "$(counter "$3")" = "$4" ] && return 0
    sleep 0.05
  done
  echo "$setup: $3 of ou=org never reached $4 (reads $(counter "$3"))" >&2
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
for clients in 1 4; do
  write_batches "$clients"
  for setup in none counters compat compatonly; do
    start "$setup"
    tree
    t0=$(now)
    run ldapadd add "$clients"
    settle ADD $((5 + entries)) hvEntryCount "$entries"
    t1=$(now)
    run ldapmodify mod "$clients"
    # Without slapdcompat member modifies are not counted at all.
    if [ "$setup" = compat ]; then
      settle MODIFY "$entries" hvMemberCount $((2 * entries))
    else
      settle MODIFY "$entries"
    fi
    t2=$(now)
    rate[$setup,$clients,add]=$(rate_of "$entries" "$t0" "$t1")
    rate[$setup,$clients,mod]=$(rate_of "$entries" "$t1" "$t2")
    stop
  done
done

printf '%-10s %-8s %12s %12s %8s %8s\n' set-up clients "adds/s" "modifies/s" "add x" "mod x"
for clients in 1 4; do
  for setup in none counters compat compatonly; do
    a=${rate[$setup,$clients,add]} m=${rate[$setup,$clients,mod]}
    printf '%-10s %-8s %12.0f %12.0f %8.2f %8.2f\n' "$setup" "$clients" "$a" "$m" \
      "$(div "$a" "${rate[none,$clients,add]}")" "$(div "$m" "${rate[none,$clients,mod]}")"
  done
done
