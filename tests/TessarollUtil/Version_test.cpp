// The version the programs report is the project's one, and the README's examples show it.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "TessarollVersion.h"
#include "helpers/Sandbox.h"

namespace {

std::string sourceFile(const char* name) {
    return testing_support::readFile(std::filesystem::path(TESSAROLL_SOURCE_DIR) / name);
}

TEST(Version, IsTheProjectsVersion) {
    std::smatch match;
    const std::string lists = sourceFile("CMakeLists.txt");
    ASSERT_TRUE(std::regex_search(lists, match, std::regex(R"(project\(\S+ VERSION (\S+))")));
    EXPECT_EQ(match[1].str(), kTessarollVersion);
}

TEST(Version, EveryServiceVersionTheReadmeShowsIsTheCurrentOne) {
    const std::string readme = sourceFile("README.md");
    // "minServerVersion" in requests and the table, "ServerVersion" in the decoded answer
    const std::regex shown(R"(ServerVersion[^0-9\n]*\n?([0-9]+(\.[0-9]+){3}))");
    int count = 0;
    for (std::sregex_iterator it(readme.begin(), readme.end(), shown), end; it != end; ++it) {
        EXPECT_EQ((*it)[1].str(), kTessarollVersion) << it->str();
        ++count;
    }
    EXPECT_GE(count, 4);
}

}  // namespace
