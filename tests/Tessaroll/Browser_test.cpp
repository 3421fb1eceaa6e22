// A real browser: a page served on loopback, opened in headless Chromium, calls the service
// with fetch and reads the answer. The browser trusts the build's root through its own NSS
// database; no certificate error is ignored.
#include <gmock/gmock.h>

#include "Tessaroll/ServiceFixture.h"
#include "helpers/PageServer.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class BrowserTest : public ServiceTest {};

TEST_F(BrowserTest, PageOnLoopbackCallsTheServiceWithFetch) {
    const fs::path chromium = "/usr/bin/chromium";
    if (!fs::exists(chromium)) GTEST_SKIP() << "no Chromium on this machine";

    // The browser profile's own NSS database trusts the build's root, nothing else.
    const fs::path nssdb = sandbox.home() / ".pki/nssdb";
    fs::create_directories(nssdb);
    const std::string db = "sql:" + nssdb.string();
    ASSERT_EQ(std::system(("certutil -N -d " + db + " --empty-password").c_str()), 0);
    ASSERT_EQ(std::system(("certutil -A -d " + db + " -n tessaroll-root -t C,, -i " +
                           Service::rootCertificate().string())
                              .c_str()),
              0);

    const std::string page = callingPage(echoRequest(), "https://127.0.0.1:56482/");
    PageServer server(page);

    const fs::path profile = sandbox.root() / "chromium-profile";
    ChildProcess browser(
        chromium,
        {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--user-data-dir=" + profile.string(),
         "http://127.0.0.1:" + std::to_string(server.port()) + "/"},
        sandbox.environment());
    ASSERT_TRUE(waitUntil([&] { return server.report().has_value(); }, std::chrono::seconds(60)))
        << browser.errors() << "\n"
        << service->log();
    browser.kill();

    const std::string report = *server.report();
    ASSERT_TRUE(report.starts_with("200 ")) << report << "\n" << browser.errors();
    auto answer = decodeAnswer(report.substr(4));
    ASSERT_TRUE(answer) << report;
    EXPECT_EQ((*answer)["result"], "0");
    EXPECT_EQ((*answer)["ServerVersion"], "1.0.23.0510");
    EXPECT_THAT((*answer)["SessionID"], ::testing::MatchesRegex("[0-9A-Z]{8}_SID"));
    EXPECT_TRUE(service->waitForLog("Origin: http://127.0.0.1:" + std::to_string(server.port())));
}

}  // namespace
