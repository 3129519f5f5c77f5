// What the counter path costs on the host directory.  Prints, as plain
// text:
//   - adds, member modifies and deletes per second at depth 1, 3, 5 and 8
//     with 1 and 2 threads, for no plug-in, each counter plug-in and both,
//     and the rates as ratios to the run without plug-ins;
//   - the cost per level of depth with both plug-ins against the cost of the
//     internal operations the plug-ins make at one level, measured alone in
//     the same run;
//   - the cost of one member change against the group's size;
//   - heap bytes per stored entry against the entry's LDIF size;
//   - hv_dir_load_dse time against the file's size.
// Rates are medians of interleaved repetitions; compare ratios within one
// run, since absolute rates depend on the machine and its load.
//
// Usage: directory_bench [--short] [--plugins DIR] [--only PART]
//   --short  a few operations of each kind, for CI: checks that every path
//            runs, measures nothing worth keeping.
//   --only   one part: rates (with the cost per level), members, memory
//            or dse.
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hv/slapi-host.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool quick = false;
    std::string plugins = HV_PLUGIN_DIR;
    std::string only;  // empty: every part
    int entries = 2000;  // per thread and run
    int reps = 3;
};
Options g_opt;

constexpr char kSuffix[] = "dc=example,dc=com";

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Check(bool ok, const std::string &what) {
    if (ok) return;
    std::fprintf(stderr, "directory_bench: %s\n", what.c_str());
    std::exit(1);
}

// ---- Set-up -----------------------------------------------------------------

enum PluginSet { kNone = 0, kNodetally = 1, kAttrtally = 2, kBoth = 3 };
const char *const kSetNames[] = {"none", "nodetally", "attrtally", "both"};

void LoadPlugin(const char *file, const char *init, std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string path = g_opt.plugins + "/" + file;
    hv_plugin *p = nullptr;
    Check(hv_plugin_load(path.c_str(), init, static_cast<int>(args.size()), argv.data(), 0, &p) == 0,
          "cannot load " + path);
}

int Add(const std::string &ldif) { return hv_op_add_ldif(ldif.c_str(), 0, nullptr); }

int ModifyValue(const std::string &dn, int op, const char *type, const std::string &value) {
    std::string v = value;
    char *values[] = {v.data(), nullptr};
    std::string t = type;
    LDAPMod mod{};
    mod.mod_op = op;
    mod.mod_type = t.data();
    mod.mod_values = values;
    LDAPMod *mods[] = {&mod, nullptr};
    return hv_op_modify(dn.c_str(), mods, 0, nullptr);
}

// A fresh directory with the chosen plug-ins and a chain of counter holders
// so that an entry added below the last one has `depth` stored ancestors.
// Returns the DN to add below.
std::string Prepare(int set, int depth) {
    hv_host_reset();
    if ((set & kNodetally) != 0)
        LoadPlugin("nodetally.so", "HVSubtreeEntryCounterPostOp_Init",
                   {"counterAttribute=entryCount", "counterObjectClass=counterHolder",
                    "requiredObjectClass=person"});
    if ((set & kAttrtally) != 0)
        LoadPlugin("attrtally.so", "HVAttrtallyPostOp_Init",
                   {"memberAttribute=member", "counterAttribute=memberCount",
                    "requiredObjectClass=groupOfNames", "updateParents=true"});
    Check(hv_dir_add_suffix(kSuffix) == 0, "suffix");
    Check(Add(std::string("dn: ") + kSuffix + "\nobjectclass: domain\nobjectclass: counterHolder\ndc: example\n") == 0,
          "suffix entry");
    std::string parent = kSuffix;
    for (int level = 1; level < depth; ++level) {
        std::string dn = "ou=l" + std::to_string(level) + "," + parent;
        Check(Add("dn: " + dn +
                  "\nobjectclass: organizationalUnit\nobjectclass: counterHolder\nobjectclass: groupOfNames\nou: l" +
                  std::to_string(level) + "\n") == 0,
              "holder " + dn);
        parent = dn;
    }
    return parent;
}

std::string LeafDn(const std::string &parent, int thread, int i) {
    return "cn=t" + std::to_string(thread) + "-" + std::to_string(i) + "," + parent;
}

std::string LeafLdif(const std::string &dn, int i) {
    return "dn: " + dn + "\nobjectclass: top\nobjectclass: person\nobjectclass: groupOfNames\ncn: x" +
           std::to_string(i) + "\nsn: x\nmember: uid=a\nmember: uid=b\n";
}

// ---- Operation rates ----------------------------------------------------------

struct Rates {
    double add = 0, modify = 0, del = 0;  // operations per second
};

// Runs fn(thread) on `threads` threads at once; the wall time in seconds.
double Timed(int threads, const std::function<void(int)> &fn) {
    std::vector<std::thread> pool;
    Clock::time_point start = Clock::now();
    for (int t = 0; t < threads; ++t) pool.emplace_back(fn, t);
    for (std::thread &th : pool) th.join();
    return Seconds(start, Clock::now());
}

Rates MeasureRates(int set, int depth, int threads) {
    const std::string parent = Prepare(set, depth);
    const int n = g_opt.entries;
    const double total = static_cast<double>(n) * threads;
    Rates r;
    r.add = total / Timed(threads, [&](int t) {
        for (int i = 0; i < n; ++i) Check(Add(LeafLdif(LeafDn(parent, t, i), i)) == 0, "add");
    });
    r.modify = total / Timed(threads, [&](int t) {
        for (int i = 0; i < n; ++i)
            Check(ModifyValue(LeafDn(parent, t, i), LDAP_MOD_ADD, "member", "uid=c") == 0, "modify");
    });
    r.del = total / Timed(threads, [&](int t) {
        for (int i = 0; i < n; ++i) Check(hv_op_delete(LeafDn(parent, t, i).c_str(), 0, nullptr) == 0, "delete");
    });
    return r;
}

const int kDepths[] = {1, 3, 5, 8};
constexpr int kNumDepths = 4;

// rates[set][depth index][threads - 1], medians of the repetitions.
struct RateTable {
    Rates at[4][kNumDepths][2];
};

RateTable MeasureAllRates() {
    std::vector<double> samples[4][kNumDepths][2][3];
    for (int rep = 0; rep < g_opt.reps; ++rep) {
        for (int d = 0; d < kNumDepths; ++d) {
            for (int threads = 1; threads <= 2; ++threads) {
                for (int set = kNone; set <= kBoth; ++set) {
                    Rates r = MeasureRates(set, kDepths[d], threads);
                    samples[set][d][threads - 1][0].push_back(r.add);
                    samples[set][d][threads - 1][1].push_back(r.modify);
                    samples[set][d][threads - 1][2].push_back(r.del);
                }
            }
        }
    }
    RateTable table;
    for (int set = 0; set < 4; ++set) {
        for (int d = 0; d < kNumDepths; ++d) {
            for (int t = 0; t < 2; ++t) {
                table.at[set][d][t] = {Median(samples[set][d][t][0]), Median(samples[set][d][t][1]),
                                       Median(samples[set][d][t][2])};
            }
        }
    }
    return table;
}

void PrintRates(const RateTable &table) {
    std::printf("== Operations per second (ratio to no plug-in)\n");
    std::printf("%-5s %-3s %-10s %22s %22s %22s\n", "depth", "thr", "plug-ins", "adds/s", "member modifies/s",
                "deletes/s");
    for (int d = 0; d < kNumDepths; ++d) {
        for (int t = 0; t < 2; ++t) {
            const Rates &base = table.at[kNone][d][t];
            for (int set = 0; set < 4; ++set) {
                const Rates &r = table.at[set][d][t];
                std::printf("%-5d %-3d %-10s %12.0f (%6.3f) %12.0f (%6.3f) %12.0f (%6.3f)\n", kDepths[d], t + 1,
                            kSetNames[set], r.add, r.add / base.add, r.modify, r.modify / base.modify, r.del,
                            r.del / base.del);
            }
        }
    }
    std::printf("\n== Two threads against one (throughput ratio)\n");
    std::printf("%-5s %-10s %8s %8s %8s\n", "depth", "plug-ins", "adds", "modifies", "deletes");
    for (int d = 0; d < kNumDepths; ++d) {
        for (int set : {kNone, kBoth}) {
            const Rates &one = table.at[set][d][0];
            const Rates &two = table.at[set][d][1];
            std::printf("%-5d %-10s %8.2f %8.2f %8.2f\n", kDepths[d], kSetNames[set], two.add / one.add,
                        two.modify / one.modify, two.del / one.del);
        }
    }
}

// ---- Cost per level against the internal operations of one level -------------

// Least-squares slope of microseconds per add against depth.
double PerLevelMicros(const RateTable &table, int set) {
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (int d = 0; d < kNumDepths; ++d) {
        double x = kDepths[d];
        double y = 1e6 / table.at[set][d][0].add;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    return (kNumDepths * sxy - sx * sy) / (kNumDepths * sxx - sx * sx);
}

// What both plug-ins ask of the host for one holder above an added entry:
// per plug-in a class test, a re-read of the counter and the counter's
// write.  Measured without plug-ins loaded, so no handler runs.
double LevelInternalOpsMicros() {
    const std::string holder = Prepare(kNone, 5);
    const int n = g_opt.quick ? 20 : 5000;
    struct Kind {
        const char *filter, *attr;
    };
    const Kind kinds[] = {{"objectclass=counterHolder", "objectclass"},
                          {"objectclass=*", "entryCount"},
                          {"objectclass=groupOfNames", "objectclass"},
                          {"objectclass=*", "memberCount"}};
    std::vector<double> samples;
    for (int rep = 0; rep < 5; ++rep) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < n; ++i) {
            for (const Kind &k : kinds) {
                std::string base = holder, filter = k.filter, attr = k.attr;
                char *attrs[] = {attr.data(), nullptr};
                Slapi_PBlock *pb = slapi_search_internal(base.data(), LDAP_SCOPE_BASE, filter.data(), nullptr, attrs, 0);
                slapi_free_search_results_internal(pb);
                slapi_pblock_destroy(pb);
            }
            for (const char *counter : {"entryCount", "memberCount"}) {
                std::string value = std::to_string(i), type = counter, dn = holder;
                char *values[] = {value.data(), nullptr};
                LDAPMod mod{};
                mod.mod_op = LDAP_MOD_REPLACE;
                mod.mod_type = type.data();
                mod.mod_values = values;
                LDAPMod *mods[] = {&mod, nullptr};
                slapi_pblock_destroy(slapi_modify_internal(dn.data(), mods, nullptr, 1));
            }
        }
        samples.push_back(Seconds(start, Clock::now()) * 1e6 / n);
    }
    hv_host_reset();
    return Median(samples);
}

void PrintLevelCost(const RateTable &table) {
    std::printf("\n== Cost per level of depth (1 thread, slope over depths 1-8)\n");
    for (int set = 0; set < 4; ++set)
        std::printf("%-10s %10.2f us per level\n", kSetNames[set], PerLevelMicros(table, set));
    const double ops = LevelInternalOpsMicros();
    const double both = PerLevelMicros(table, kBoth);
    std::printf("internal operations of one level alone (4 base searches, 2 counter modifies): %.2f us\n", ops);
    std::printf("both plug-ins: cost per level / internal operations of a level = %.2f\n", both / ops);
}

// ---- Member change against group size ---------------------------------------

double MemberChangeMicros(int set, int size) {
    Prepare(set, 1);
    const std::string dn = std::string("cn=group,") + kSuffix;
    std::string ldif = "dn: " + dn + "\nobjectclass: top\nobjectclass: groupOfNames\ncn: group\n";
    for (int i = 0; i < size; ++i) ldif += "member: uid=m" + std::to_string(i) + ",ou=people\n";
    Check(Add(ldif) == 0, "group");
    const int n = g_opt.quick ? 4 : std::max(20, std::min(2000, 2000000 / size));
    Clock::time_point start = Clock::now();
    // One value added, then taken away again, so the group keeps its size.
    for (int i = 0; i < n; ++i) {
        const std::string value = "uid=new" + std::to_string(i) + ",ou=people";
        Check(ModifyValue(dn, LDAP_MOD_ADD, "member", value) == 0, "member add");
        Check(ModifyValue(dn, LDAP_MOD_DELETE, "member", value) == 0, "member delete");
    }
    return Seconds(start, Clock::now()) * 1e6 / (2.0 * n);
}

void PrintMemberChanges() {
    std::printf("\n== One member value added or removed, against the group's size (us per change)\n");
    std::printf("%-8s %12s %12s %12s %12s\n", "values", "none", "nodetally", "attrtally", "both");
    for (int size : {10, 100, 1000, 10000}) {
        std::printf("%-8d", size);
        for (int set = 0; set < 4; ++set) std::printf(" %12.2f", MemberChangeMicros(set, size));
        std::printf("\n");
    }
    hv_host_reset();
}

// ---- Memory per entry -------------------------------------------------------

std::string PersonLdif(int i) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "dn: uid=user%06d,ou=people,dc=example,dc=com\nobjectclass: top\nobjectclass: person\n"
                  "objectclass: inetOrgPerson\nuid: user%06d\ncn: User Number %06d\nsn: Number %06d\n"
                  "mail: user%06d@example.com\n",
                  i, i, i, i, i);
    return buf;
}

void PrintMemory() {
    hv_host_reset();
    Check(hv_dir_add_suffix(kSuffix) == 0, "suffix");
    Check(Add(std::string("dn: ") + kSuffix + "\nobjectclass: domain\ndc: example\n") == 0, "suffix entry");
    Check(Add(std::string("dn: ou=people,") + kSuffix + "\nobjectclass: organizationalUnit\nou: people\n") == 0,
          "people");
    const int n = g_opt.quick ? 200 : 20000;
    malloc_trim(0);
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < n; ++i) Check(Add(PersonLdif(i)) == 0, "person");
    const std::size_t after = mallinfo2().uordblks;
    const double per = static_cast<double>(after - before) / n;
    const double ldif = static_cast<double>(PersonLdif(0).size());
    std::printf("\n== Memory per stored entry (%d entries, heap bytes in use)\n", n);
    std::printf("LDIF %.0f bytes, stored %.0f bytes, ratio %.2f\n", ldif, per, per / ldif);
    hv_host_reset();
}

// ---- Configuration file loading ---------------------------------------------

void PrintDseLoad() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "hvbench.XXXXXX").string();
    Check(mkdtemp(tmpl.data()) != nullptr, "temporary directory");
    const std::string path = tmpl + "/dse.ldif";
    const std::size_t unit = g_opt.quick ? 64 * 1024 : 1024 * 1024;
    std::printf("\n== hv_dir_load_dse against file size\n");
    double first = 0;
    for (int mult : {1, 2, 4, 8}) {
        std::string text = "version: 1\n\ndn: cn=config\nobjectclass: top\nobjectclass: extensibleObject\ncn: config\n";
        for (int i = 0; text.size() < unit * mult; ++i) {
            text += "\n# entry " + std::to_string(i) + "\ndn: cn=e" + std::to_string(i) +
                    ",cn=config\nobjectclass: top\nobjectclass: extensibleObject\ncn: e" + std::to_string(i) +
                    "\ndescription: a configuration entry of the benchmark, about two hundred bytes long\n";
        }
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << text;
            Check(static_cast<bool>(out), "write " + path);
        }
        std::vector<double> samples;
        for (int rep = 0; rep < (g_opt.quick ? 1 : 3); ++rep) {
            hv_host_reset();
            Clock::time_point start = Clock::now();
            Check(hv_dir_load_dse(path.c_str()) == 0, "load " + path);
            samples.push_back(Seconds(start, Clock::now()));
            hv_host_reset();  // forgets the file before the next write
        }
        const double t = Median(samples);
        const double mb = static_cast<double>(text.size()) / (1024.0 * 1024.0);
        if (mult == 1) first = t / mb;
        std::printf("%6.2f MB %9.3f s %9.3f s/MB (%.2f of the first)\n", mb, t, t / mb, (t / mb) / first);
    }
    std::filesystem::remove_all(tmpl);
}

}  // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--short") {
            g_opt.quick = true;
            g_opt.entries = 10;
            g_opt.reps = 1;
        } else if (arg == "--plugins" && i + 1 < argc) {
            g_opt.plugins = argv[++i];
        } else if (arg == "--only" && i + 1 < argc) {
            g_opt.only = argv[++i];
        } else if (arg == "--entries" && i + 1 < argc) {
            g_opt.entries = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: directory_bench [--short] [--plugins DIR] [--only PART] [--entries N]\n");
            return 2;
        }
    }
    // Plug-in lines at their level are not written: the log's cost when off.
    hv_log_open("/dev/null");
    std::printf("directory_bench: %d entries per thread and run, %d repetition(s), %u hardware threads\n\n",
                g_opt.entries, g_opt.reps, std::thread::hardware_concurrency());
    auto want = [](const char *part) { return g_opt.only.empty() || g_opt.only == part; };
    if (want("rates")) {
        RateTable table = MeasureAllRates();
        PrintRates(table);
        PrintLevelCost(table);
    }
    if (want("members")) PrintMemberChanges();
    if (want("memory")) PrintMemory();
    if (want("dse")) PrintDseLoad();
    hv_host_reset();
    return 0;
}
