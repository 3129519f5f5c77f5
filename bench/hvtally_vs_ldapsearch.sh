#!/usr/bin/env bash
# Times `hvtally check` against `ldapsearch` fetching the same attributes of
# the same entries, on a slapd loaded with N entries (default 100000) below
# nested holders.  Goal: hvtally check takes at most twice as long.
#
#   bench/hvtally_vs_ldapsearch.sh BUILD_DIR [N]
#
# Starts /usr/sbin/slapd on 127.0.0.1 with a free port in a temporary
# directory and stops it by its pid at the end.
set -euo pipefail
build=$(cd "${1:?usage: $0 BUILD_DIR [N]}" && pwd)
n=${2:-100000}
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$(mktemp -d /tmp/hvtally-bench.XXXXXX)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir "$dir/db"
cat >"$dir/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include $src/tests/openldap/counters.schema
pidfile $dir/slapd.pid
modulepath /usr/lib/ldap
moduleload back_mdb
database mdb
maxsize 1073741824
suffix "dc=example,dc=com"
rootdn "cn=admin,dc=example,dc=com"
rootpw secret
directory $dir/db
CONF

python3 - "$n" >"$dir/data.ldif" <<'PY'
import sys
n = int(sys.argv[1])
out = sys.stdout
out.write("dn: dc=example,dc=com\nobjectClass: dcObject\nobjectClass: organization\no: x\ndc: example\n\n")
holders = []
for a in range(10):
    top = f"ou=h{a},dc=example,dc=com"
    out.write(f"dn: {top}\nobjectClass: organizationalUnit\nobjectClass: hvCounterHolder\nou: h{a}\nhvEntryCount: 0\n\n")
    for b in range(10):
        dn = f"ou=s{b},{top}"
        out.write(f"dn: {dn}\nobjectClass: organizationalUnit\nobjectClass: hvCounterHolder\nou: s{b}\n\n")
        holders.append(dn)
for i in range(n):
    out.write(f"dn: cn=e{i},{holders[i % len(holders)]}\nobjectClass: organizationalRole\n"
              f"objectClass: hvCounted\ncn: e{i}\n\n")
PY
/usr/sbin/slapadd -q -f "$dir/slapd.conf" -l "$dir/data.ldif"
/usr/sbin/slapd -f "$dir/slapd.conf" -h "ldap://127.0.0.1:$port/" -d 0 >"$dir/slapd.out" 2>&1 &
pid=$!
for _ in $(seq 50); do
  ldapsearch -x -H "ldap://127.0.0.1:$port/" -b "" -s base >/dev/null 2>&1 && break
  sleep 0.2
done

auth=(-H "ldap://127.0.0.1:$port/" -D cn=admin,dc=example,dc=com -w secret -b dc=example,dc=com)
filter='(|(objectClass=hvCounterHolder)(objectClass=hvCounted))'
calc() { python3 -c "print(round($1, 2))"; }
time_of() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); calc "$e - $s"; }
search=$(time_of ldapsearch -x -LLL -E pr=1000/noprompt "${auth[@]}" "$filter" objectClass hvEntryCount)
set +e
tally=$(time_of "$build/bin/hvtally" check nodetally counterAttribute=hvEntryCount \
  counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted "${auth[@]}")
rss=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$build/bin/hvtally" check nodetally \
  counterAttribute=hvEntryCount counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted "${auth[@]}")
set -e
echo "entries: $n"
echo "ldapsearch (paged, same attributes): ${search}s"
echo "hvtally check:                        ${tally}s"
echo "ratio: $(calc "$tally / $search")"
echo "hvtally check maximum resident set: ${rss} KiB"
