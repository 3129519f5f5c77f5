#!/bin/sh
# Creates a sample directory server root with instances at the baseline
# (patch level 1): a real cert7 certificate database with a self-signed
# server certificate, the core schema file, dse.ldif with the encryption
# entry, the nine pre-patch administration scripts and a schema push script.
#
#   make-server-root.sh [-o OWNER] SERVER_ROOT [NAME...]
#
# NAMEs default to "example1 example2" (instances slapd-example1 and
# slapd-example2).  With -o (as root) the server root is handed to OWNER and
# its primary group.  Needs certutil (Debian package libnss3-tools).
set -eu

owner=
if [ "${1:-}" = "-o" ]; then
    owner=${2:?"-o needs an owner"}
    shift 2
fi
if [ $# -lt 1 ]; then
    echo "usage: $0 [-o OWNER] SERVER_ROOT [NAME...]" >&2
    exit 2
fi
root=$1
shift
[ $# -gt 0 ] || set -- example1 example2
command -v certutil >/dev/null 2>&1 || {
    echo "$0: certutil not found (install libnss3-tools)" >&2
    exit 1
}

mkdir -p "$root/alias" "$root/bin/slapd/server"
root=$(cd "$root" && pwd)
server=$root/bin/slapd/server

# A stand-in server program, so that the administration scripts can be run.
cat > "$server/hv-slapd" <<'EOF'
#!/bin/sh
echo "hv-slapd (sample stand-in): $*"
EOF
chmod 755 "$server/hv-slapd"

noise=$(mktemp)
trap 'rm -f "$noise"' EXIT

# write_script INSTANCE_DIR NAME BODY: a pre-patch script, mode 0755.
write_script() {
    printf '#!/bin/sh\n%s\n' "$3" > "$1/$2"
    chmod 755 "$1/$2"
}

for name in "$@"; do
    inst=slapd-$name
    dir=$root/$inst
    mkdir -p "$dir/config/schema" "$dir/db" "$dir/bak" "$dir/ldif" "$dir/confbak" "$dir/logs"

    # The pre-patch security library kept certificates in cert7.db.  Today's
    # certutil makes the same old-format database under the cert8 name when
    # asked for the "dbm:" format; renamed, it is the baseline's cert7 file.
    head -c 256 /dev/urandom > "$noise"
    certutil -N -d "dbm:$root/alias" -P "$inst-" --empty-password
    certutil -S -d "dbm:$root/alias" -P "$inst-" -n Server-Cert -s "CN=$name.example.test,O=Example" \
        -x -t "CTu,u,u" -z "$noise" -v 120 -g 2048 </dev/null >/dev/null 2>&1
    mv "$root/alias/$inst-cert8.db" "$root/alias/$inst-cert7.db"

    cat > "$dir/config/schema/00core.ldif" <<'EOF'
dn: cn=schema
objectclass: top
objectclass: subschema
cn: schema
attributeTypes: ( 2.5.4.0 NAME 'objectClass' DESC 'Standard LDAP attribute type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 X-ORIGIN 'RFC 2252' )
attributeTypes: ( 2.5.4.41 NAME 'name' DESC 'Standard LDAP attribute type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 X-ORIGIN 'RFC 2256' )
attributeTypes: ( 2.5.4.3 NAME ( 'cn' 'commonName' ) DESC 'Standard LDAP attribute type' SUP name X-ORIGIN 'RFC 2256' )
attributeTypes: ( 2.5.4.13 NAME 'description' DESC 'Standard LDAP attribute type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 X-ORIGIN 'RFC 2256' )
objectClasses: ( 2.5.6.0 NAME 'top' DESC 'Standard LDAP objectclass' ABSTRACT MUST objectClass X-ORIGIN 'RFC 2256' )

EOF

    cat > "$dir/config/dse.ldif" <<EOF
dn: cn=config
objectclass: top
objectclass: extensibleObject
cn: config
hvPort: 389
hvHostName: $name.example.test
hvInstanceDir: $dir

dn: cn=encryption,cn=config
objectclass: top
objectclass: extensibleObject
cn: encryption
hvCertfile: alias/$inst-cert7.db
hvKeyfile: alias/$inst-key3.db

EOF
    chmod 600 "$dir/config/dse.ldif" "$dir/config/schema/00core.ldif"

    write_script "$dir" saveconfig "cd $server
./hv-slapd db2ldif -s o=HalvoranRoot -a $dir/confbak/\`date +%Y_%m_%d_%H%M%S\`.ldif -D $dir \"\$@\""
    write_script "$dir" restoreconfig "cd $server
conf=\`ls -1t $dir/confbak/*.ldif | head -1\`
./hv-slapd ldif2db -D $dir -i \$conf -n HalvoranRoot"
    write_script "$dir" ldif2db "cd $server
./hv-slapd ldif2db -D $dir \"\$@\""
    write_script "$dir" db2ldif "cd $server
./hv-slapd db2ldif -D $dir -a $dir/ldif/\`date +%Y_%m_%d_%H%M%S\`.ldif \"\$@\""
    write_script "$dir" vlvindex "cd $server
./hv-slapd db2index -D $dir \"\$@\""
    write_script "$dir" db2bak "cd $server
./hv-slapd db2archive -D $dir -a \${1:-$dir/bak/\`date +%Y_%m_%d_%H_%M_%S\`}"
    write_script "$dir" bak2db "cd $server
./hv-slapd archive2db -D $dir -a \"\$1\""
    write_script "$dir" suffix2instance "cd $server
./hv-slapd suffix2instance -D $dir \"\$@\""
    write_script "$dir" get-clusterinfo-slapd "# Not clustered: prints no resource name.
exit 0"

    # Makes a running server take up the schema file; the sample has none.
    write_script "$dir" schema_push.pl "# Sample: nothing to push to.
exit 0"
done

if [ -n "$owner" ]; then
    group=$(id -gn "$owner")
    chown -R "$owner:$group" "$root"
fi
