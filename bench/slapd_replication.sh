#!/usr/bin/env bash
# Cost of the counters in replicated OpenLDAP slapd (back-mdb, syncprov,
# refreshAndPersist): a provider and one consumer on 127.0.0.1, in these
# set-ups: no counters (none), the plug-ins with slapdcompat before the
# provider's database (plugins; the consumer has none), the hvtally overlay
# on both servers (overlay), and the overlay on two providers replicating
# each other with delta-syncrepl (overlay2p, the writes going to the first).
#
# For each: adds of counted entries (each also a group with one member)
# from one client, then member modifies; per phase
#   client   operations per second as the client saw them;
#   done     operations per second until the other server holds the same
#            contextCSN as the writer and that has not moved for 0.5 s
#            (the plug-ins write their counters after answering);
#   lag      seconds from the client's end until then.
# Then the cost of reading the counters: one subtree search of the whole
# tree for the holders and groups with both counters, on each server
# ("read"), and 20 base reads of the top holder's counter ("top").
#
# Usage: bench/slapd_replication.sh [build-dir]   (default: build)
# HV_BENCH_SETUPS (default "none plugins overlay overlay2p"),
# HV_BENCH_ENTRIES (default 1000), HV_BENCH_NOSYNC=1 for dbnosync.
# Needs /usr/sbin/slapd, ldap-utils and, for the overlay set-ups, the
# hvtally overlay in the build (HV_OPENLDAP_SOURCE).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
lib=$build/lib
schema=$here/tests/openldap/counters.schema
entries=${HV_BENCH_ENTRIES:-1000}
setups=${HV_BENCH_SETUPS:-none plugins overlay overlay2p}
suffix="dc=example,dc=com"
rootdn="cn=admin,$suffix"
node="nodetally counterAttribute=hvEntryCount counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted"
attr="attrtally memberAttribute=hvMember counterAttribute=hvMemberCount requiredObjectClass=hvGroup updateParents=true"

work=$(mktemp -d "${TMPDIR:-/tmp}/hv-repl-bench.XXXXXX")
pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2> /dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$work"' EXIT

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 40000))
    if ! (exec 3<> "/dev/tcp/127.0.0.1/$p") 2> /dev/null; then echo "$p"; return; fi
  done
}
now() { date +%s.%N; }
per_s() { awk -v n="$1" -v t0="$2" -v t1="$3" 'BEGIN { printf "%.1f", n / (t1 - t0) }'; }
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a - b }'; }

# conf <n> <setup> <peer-url or ""> <role: provider|consumer>
conf() {
  local n=$1 setup=$2 peer=$3 role=$4 d=$work/s$1
  mkdir -p "$d/db"
  {
    echo "include /etc/ldap/schema/core.schema"
    echo "include $schema"
    echo "pidfile $d/slapd.pid"
    echo "pluginlog /dev/null"
    echo "loglevel 0"
    echo "modulepath /usr/lib/ldap"
    echo "moduleload back_mdb"
    echo "moduleload syncprov"
    case "$setup" in overlay*) echo "moduleload $lib/hvtally_overlay.so" ;; esac
    if [ "$setup" = overlay2p ]; then
      # delta-syncrepl, as examples/openldap/hvtally-provider1.conf.
      echo "serverID $n"
      echo "moduleload accesslog"
      mkdir -p "$d/db/log"
      printf 'database mdb\nmaxsize 1073741824\nsuffix cn=accesslog\nrootdn cn=accesslog\ndirectory %s/db/log\n' "$d"
      printf 'index entryCSN,objectClass,reqEnd,reqResult,reqStart,reqDN eq\n'
      printf 'overlay syncprov\nsyncprov-nopresent TRUE\nsyncprov-reloadhint TRUE\n'
    fi
    if [ "$setup" = plugins ] && [ "$role" = provider ]; then
      echo "plugin postoperation $lib/slapdcompat.so SlapdCompat_Init"
      echo "plugin postoperation $lib/nodetally.so HVSubtreeEntryCounterPostOp_Init ${node#nodetally }"
      echo "plugin postoperation $lib/attrtally.so HVAttrtallyPostOp_Init ${attr#attrtally }"
    fi
    echo "database mdb"
    echo "maxsize 1073741824"
    echo "suffix \"$suffix\""
    echo "rootdn \"$rootdn\""
    echo "rootpw secret"
    echo "directory $d/db"
    [ "${HV_BENCH_NOSYNC:-0}" = 1 ] && echo "dbnosync"
    echo "index objectClass,entryCSN,entryUUID eq"
    if [ -n "$peer" ]; then
      delta=""
      [ "$setup" = overlay2p ] &&
        delta=" logbase=\"cn=accesslog\" logfilter=\"(&(objectClass=auditWriteObject)(reqResult=0))\" syncdata=accesslog"
      echo "syncrepl rid=10$n provider=$peer type=refreshAndPersist retry=\"1 +\" searchbase=\"$suffix\" bindmethod=simple binddn=\"$rootdn\" credentials=secret$delta"
    fi
    [ "$setup" = overlay2p ] && echo "multiprovider on"
    [ "$role" = provider ] && printf 'overlay syncprov\nsyncprov-checkpoint 100 1\n'
    case "$setup" in overlay*) printf 'overlay hvtally\nhvtally %s\nhvtally %s\n' "$node" "$attr" ;; esac
    if [ "$setup" = overlay2p ]; then
      printf 'overlay accesslog\nlogdb cn=accesslog\nlogops writes\nlogsuccess TRUE\n'
    fi
  } > "$d/slapd.conf"
}

start() {
  local n=$1 url=$2
  /usr/sbin/slapd -f "$work/s$n/slapd.conf" -h "$url" -d 0 > "$work/s$n/out" 2>&1 &
  pids+=($!)
  for _ in $(seq 300); do
    ldapsearch -x -H "$url" -b "" -s base -LLL namingContexts > /dev/null 2>&1 && return 0
    sleep 0.1
  done
  echo "slapd $n did not start:" >&2; tail -n 20 "$work/s$n/out" >&2; exit 1
}

csn() { ldapsearch -x -H "$1" -D "$rootdn" -w secret -LLL -b "$suffix" -s base contextCSN 2> /dev/null | grep -i '^contextCSN' | sort | tr '\n' ' ' || true; }

# Waits until both servers hold the same contextCSN and it has not moved
# for 0.5 s; prints the time it first agreed (of that stable state).
converged() {
  local a b last="" since=""
  for _ in $(seq 3000); do
    a=$(csn "$url0"); b=$(csn "$url1")
    if [ -n "$a" ] && [ "$a" = "$b" ]; then
      if [ "$a" != "$last" ]; then last=$a; since=$(now); fi
      if awk -v s="$since" -v t="$(now)" 'BEGIN { exit !(t - s >= 0.5) }'; then echo "$since"; return; fi
    else
      last=""
    fi
    sleep 0.05
  done
  echo "never converged" >&2; exit 1
}

printf '%-10s %-8s %10s %10s %8s\n' setup phase client/s done/s lag_s
for setup in $setups; do
  case "$setup" in overlay*) [ -e "$lib/hvtally_overlay.so" ] || { echo "$setup: no overlay built, skipped"; continue; } ;; esac
  rm -rf "$work"/s*; stop_all
  url0="ldap://127.0.0.1:$(free_port)/"; url1="ldap://127.0.0.1:$(free_port)/"
  if [ "$setup" = overlay2p ]; then
    conf 1 "$setup" "$url1" provider; conf 2 "$setup" "$url0" provider
  else
    conf 1 "$setup" "" provider; conf 2 "$setup" "$url0" consumer
  fi
  mv "$work/s1" "$work/s0"; sed -i "s#$work/s1/#$work/s0/#g" "$work/s0/slapd.conf"
  mv "$work/s2" "$work/s1"; sed -i "s#$work/s2/#$work/s1/#g" "$work/s1/slapd.conf"
  start 0 "$url0"; start 1 "$url1"
  {
    printf 'dn: %s\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n\n' "$suffix"
    printf 'dn: ou=org,%s\nobjectClass: organizationalUnit\nobjectClass: hvCounterHolder\nobjectClass: hvGroup\nou: org\n\n' "$suffix"
    for k in 0 1 2 3; do
      printf 'dn: ou=unit%d,ou=org,%s\nobjectClass: organizationalUnit\nobjectClass: hvCounterHolder\nobjectClass: hvGroup\nou: unit%d\n\n' "$k" "$suffix" "$k"
    done
  } > "$work/tree.ldif"
  ldapadd -x -H "$url0" -D "$rootdn" -w secret -f "$work/tree.ldif" > /dev/null
  converged > /dev/null
  : > "$work/adds.ldif"; : > "$work/mods.ldif"
  for i in $(seq "$entries"); do
    dn="cn=e$i,ou=unit$((i % 4)),ou=org,$suffix"
    printf 'dn: %s\nchangetype: add\nobjectClass: organizationalRole\nobjectClass: hvCounted\nobjectClass: hvGroup\ncn: e%d\nhvMember: m0\n\n' "$dn" "$i" >> "$work/adds.ldif"
    printf 'dn: %s\nchangetype: modify\nadd: hvMember\nhvMember: m1\n-\n\n' "$dn" >> "$work/mods.ldif"
  done
  for phase in adds mods; do
    t0=$(now)
    ldapmodify -x -H "$url0" -D "$rootdn" -w secret -f "$work/$phase.ldif" > /dev/null
    t1=$(now)
    t2=$(converged)
    printf '%-10s %-8s %10s %10s %8s\n' "$setup" "$phase" "$(per_s "$entries" "$t0" "$t1")" \
      "$(per_s "$entries" "$t0" "$t2")" "$(minus "$t2" "$t1")"
  done
  for u in "$url0" "$url1"; do
    t0=$(now)
    ldapsearch -x -H "$u" -D "$rootdn" -w secret -LLL -b "$suffix" '(|(objectClass=hvCounterHolder)(objectClass=hvGroup))' hvEntryCount hvMemberCount > "$work/read.ldif"
    t1=$(now)
    printf '%-10s %-8s %10s s for %d holders and groups (%s)\n' "$setup" read "$(minus "$t1" "$t0")" "$(grep -c '^dn:' "$work/read.ldif")" "$u"
  done
  # The dearest counter: the top holder's, all entries below it.
  t0=$(now)
  for _ in $(seq 20); do
    ldapsearch -x -H "$url0" -D "$rootdn" -w secret -LLL -b "ou=org,$suffix" -s base hvEntryCount > /dev/null
  done
  t1=$(now)
  printf '%-10s %-8s %10s s per read of the top holder'"'"'s hvEntryCount (%d entries below)\n' "$setup" top \
    "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", (b - a) / 20 }')" "$entries"
  [ "$setup" = none ] && continue
  for rule in "$node" "$attr"; do
    # shellcheck disable=SC2086
    "$build/bin/hvtally" check $rule -H "$url1" -D "$rootdn" -w secret -b "$suffix" | tail -n 1 |
      sed "s/^/$setup, ${rule%% *} on the second server: /" || echo "$setup: hvtally check found wrong counters"
  done
done
