// slapdcompat.so loaded into OpenLDAP slapd before nodetally and attrtally:
// the plug-ins after it see the real status and the entries before and
// after each operation, so deletes, class changes and member changes are
// counted and refused operations are not.
#include <gtest/gtest.h>

#include "openldap/compat_env.h"

namespace hvtest {
namespace {

TEST_F(CompatOnSlapd, CountersFollowDeletesModifiesAndRefusals) {
    Start();
    auto change = [&](const std::string &ldif) {
        CommandResult r = server_.Changes(ldif);
        ASSERT_TRUE(WaitForProbeOperations(report_, ++ops_)) << r.output;
    };
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
           "objectClass: hvCounted\ncn: a\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 1);
    // Refused: exists already.  Not counted again.
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
           "objectClass: hvCounted\ncn: a\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 1);
    // A replace that keeps the class changes nothing; one that drops it counts.
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: modify\nreplace: objectClass\n"
           "objectClass: organizationalRole\nobjectClass: hvCounted\n-\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 1);
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: modify\ndelete: objectClass\nobjectClass: hvCounted\n-\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 0);
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: modify\nadd: objectClass\nobjectClass: hvCounted\n-\n\n");
    change(std::string("dn: cn=a,") + kPeople + "\nchangetype: delete\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 0);
    EXPECT_EQ(server_.Counter(kOrg, "hvEntryCount"), 0);
    // A rename is not counted, and its end releases the lock on the old DN:
    // an add there at once is not held up (the probe's wait is bounded).
    change(std::string("dn: cn=r,") + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
           "objectClass: hvCounted\ncn: r\n\n");
    CommandResult renamed =
        server_.Changes(std::string("dn: cn=r,") + kPeople + "\nchangetype: modrdn\nnewrdn: cn=s\ndeleteoldrdn: 1\n\n");
    ASSERT_EQ(renamed.status, 0) << renamed.output;
    change(std::string("dn: cn=r,") + kPeople + "\nchangetype: add\nobjectClass: organizationalRole\n"
           "objectClass: hvCounted\ncn: r\n\n");
    EXPECT_EQ(server_.Counter(kPeople, "hvEntryCount"), 2);
    EXPECT_TRUE(NoLockTimedOut()) << server_.PluginLog();
    // Member changes, a refused one among them (the value exists).
    change(std::string("dn: ") + kG1 + "\nchangetype: modify\nadd: hvMember\nhvMember: m5\n-\n\n");
    change(std::string("dn: ") + kG1 + "\nchangetype: modify\nadd: hvMember\nhvMember: m5\n-\n\n");
    EXPECT_EQ(server_.Counter(kG1, "hvMemberCount"), 3);
    EXPECT_EQ(server_.Counter(kG0, "hvMemberCount"), 4);
    // Another spelling of the DN: the same entry, read before and after.
    change("dn: CN=G1, cn=g0,OU=Org,dc=example,dc=com\nchangetype: modify\ndelete: hvMember\nhvMember: m0\n-\n\n");
    EXPECT_EQ(server_.Counter(kG0, "hvMemberCount"), 3);

    // Plug-ins after the compat plug-in see the real status of the two
    // refused operations, and entries before and after.
    const std::string report = ReadFile(report_);
    EXPECT_EQ(RefusedInReport(report), 2) << report;
    EXPECT_NE(report.find("op=add argc=0 oprc=68 "), std::string::npos) << report;
    EXPECT_NE(report.find("op=modify argc=0 oprc=20 "), std::string::npos) << report;
    EXPECT_NE(report.find("op=delete argc=0 oprc=0 repl=0 target=cn=a,ou=people,ou=org,dc=example,dc=com pre=yes post=none"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("op=modify argc=0 oprc=0 repl=0 target=cn=g1,cn=g0,ou=org,dc=example,dc=com pre=yes post=yes"),
              std::string::npos)
        << report;
    std::string errors;
    EXPECT_EQ(Errors(&errors), 0) << errors;
}

TEST_F(CompatOnSlapd, AnUnknownArgumentStopsTheServerStarting) {
    report_ = server_.dir() + "/report.txt";
    std::vector<PluginLine> plugins = CountersAfterCompat(report_);
    plugins[0] = Compat({"lockTimeut=5"});
    EXPECT_FALSE(server_.Start(plugins));
    EXPECT_NE(server_.PluginLog().find("SlapdCompat_Init: unknown argument \"lockTimeut=5\""), std::string::npos)
        << server_.PluginLog();
}


}  // namespace
}  // namespace hvtest
