// The signature block in the built plug-in files: the marker field at the
// start of 4324 bytes of initialised data, zero-filled after the marker, for
// the signing step to fill in.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "plugins/plugin_test_env.h"

namespace hv::plugins::testing {
namespace {

constexpr std::size_t kBlockSize = 4324;
constexpr std::size_t kTextField = 200;

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Name of the section whose file bytes hold [offset, offset + size), or "".
std::string SectionHolding(const std::string &file, std::size_t offset, std::size_t size) {
    if (file.size() < sizeof(Elf64_Ehdr)) return "";
    Elf64_Ehdr eh;
    std::memcpy(&eh, file.data(), sizeof eh);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return "";
    auto section = [&](std::size_t i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, file.data() + eh.e_shoff + i * eh.e_shentsize, sizeof sh);
        return sh;
    };
    const Elf64_Shdr names = section(eh.e_shstrndx);
    for (std::size_t i = 0; i < eh.e_shnum; ++i) {
        const Elf64_Shdr sh = section(i);
        if (sh.sh_type != SHT_PROGBITS) continue;
        if (offset >= sh.sh_offset && offset + size <= sh.sh_offset + sh.sh_size) {
            return std::string(file.data() + names.sh_offset + sh.sh_name);
        }
    }
    return "";
}

void ExpectSignatureBlock(const std::string &plugin, const std::string &marker) {
    SCOPED_TRACE(plugin);
    const std::string file = ReadFile(PluginPath(plugin));
    ASSERT_FALSE(file.empty());
    const std::size_t at = file.find(marker);
    ASSERT_NE(at, std::string::npos) << "marker missing";
    EXPECT_EQ(file.find(marker, at + 1), std::string::npos) << "marker twice";
    ASSERT_LE(at + kBlockSize, file.size());
    ASSERT_LT(marker.size(), kTextField);
    const std::string block = file.substr(at, kBlockSize);
    EXPECT_EQ(block.find_first_not_of('\0', marker.size()), std::string::npos)
        << "non-zero byte at " << block.find_first_not_of('\0', marker.size());
    EXPECT_EQ(SectionHolding(file, at, kBlockSize), ".data");
}

TEST(SignatureBlockTest, NodetallyCarriesItsBlockInInitialisedData) {
    ExpectSignatureBlock("nodetally",
                         "StArT Of PlUgIn SiGnAtUrE:Subtree Entry Counter,HVSubtreeEntryCounterPostOp_Init");
}

TEST(SignatureBlockTest, AttrtallyCarriesItsBlockInInitialisedData) {
    ExpectSignatureBlock("attrtally", "StArT Of PlUgIn SiGnAtUrE:HVAttrtally,HVAttrtallyPostOp_Init");
}

}  // namespace
}  // namespace hv::plugins::testing
