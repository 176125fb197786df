#include "configcheck.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct Row
{
    const char* ini; // nullptr: no file at all
    int status;
    std::string problems; // what --check-config writes on standard error, after the file name
    std::vector<std::string> settings; // lines it must print among the effective settings
};

} // namespace

TEST(CheckConfig, ReportsUnknownKeysAndFallbacksAndPrintsTheSettingsInEffect)
{
    const auto openPairing = [](const char* listen) {
        return std::string(": warning: Main/connectFrom is not set: anyone who reaches ") + listen
            + " can pair this register and then deliver what its displays show; set "
              "Main/connectFrom to the management server's address\n";
    };
    const Row table[] = {
        { nullptr, 0, openPairing("0.0.0.0:49152"),
            { "Logger/path=/tillhost/logs/current/morlen-vesk.log", "Logger/maxFiles=5",
                "Logger/maxFileSize=5000", "Logger/level=error", "Main/listen=0.0.0.0:49152",
                "Main/syncRepeat=60", "Stream/sendTo=0.0.0.0:8554" } },
        { "[Logger]\nlevel=warning\npath=/var/log/vesk/v.log\n[Main]\nlisten=127.0.0.1:80\n"
          "syncRepeat=15\nconnectFrom=10.0.0.5, 192.168.10.0/24\n[Stream]\nsendTo=239.1.2.3:50\n",
            0, "",
            { "Logger/level=warning", "Logger/path=/var/log/vesk/v.log", "Main/listen=127.0.0.1:80",
                "Main/syncRepeat=15", "Main/connectFrom=10.0.0.5/32,192.168.10.0/24",
                "Stream/sendTo=239.1.2.3:50" } },
        { "[Logger]\nlevel=warn\nmaxFiles=many\nLevel=info\n[Main]\nlisten=127.0.0.1\n"
          "syncRepeat=0\nconnectFrom=mgmt.example\n[Stream]\nsendTo=::1\n",
            1,
            ": unknown key Logger/Level (keys are case-sensitive)\n"
            ": Logger/maxFiles \"many\" is not a number; it reads as 0\n"
            ": Logger/level \"warn\" is not one of trace, debug, info, warning, error, off; using "
            "error\n"
            ": Main/listen \"127.0.0.1\" is not an IPv4 address and port; using 0.0.0.0:49152\n"
            ": Main/syncRepeat \"0\" is not a number of seconds from 1 to 2147483; using 60\n"
            ": Stream/sendTo \"::1\" is not an IPv4 address and port; using 0.0.0.0:8554\n"
            ": Main/connectFrom \"mgmt.example\" is not an address or a range; left out\n",
            { "Main/connectFrom=", "Logger/maxFiles=0", "Logger/level=error",
                "Main/listen=0.0.0.0:49152", "Main/syncRepeat=60", "Stream/sendTo=0.0.0.0:8554" } },
        // Ranges wider than a shop's network are said, without failing the check.
        { "[Main]\nconnectFrom=10.0.0.5/0, 10.0.0.0/8, 10.1.0.0/16, 2001:db8::/32, fd00::/64\n", 0,
            ": warning: Main/connectFrom \"10.0.0.5/0\" admits every address\n"
            ": warning: Main/connectFrom \"10.0.0.0/8\" admits 16777216 addresses, more than a "
            "shop's network (a /16 at most)\n"
            ": warning: Main/connectFrom \"2001:db8::/32\" admits a /32 network, more than a "
            "shop's network (a /64 at most)\n",
            { "Main/connectFrom=0.0.0.0/0,10.0.0.0/8,10.1.0.0/16,2001:db8::/32,fd00::/64" } },
        { "[Main]\nlisten=127.0.0.1:49152\n", 0, "", { "Main/listen=127.0.0.1:49152" } },
        { "[Main]\nlisten=0.0.0.0:49153\n", 0, openPairing("0.0.0.0:49153"),
            { "Main/listen=0.0.0.0:49153" } },
    };
    for (const Row& row : table) {
        QTemporaryDir dir;
        const QString path = dir.filePath("config.ini");
        if (row.ini) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(row.ini);
        }
        std::ostringstream out, err;
        EXPECT_EQ(vesk::service::checkConfig(path, out, err), row.status) << err.str();
        std::string expected;
        std::istringstream problems(row.problems);
        for (std::string line; std::getline(problems, line);)
            expected += path.toStdString() + line + "\n";
        EXPECT_EQ(err.str(), expected);
        for (const std::string& line : row.settings)
            EXPECT_NE(out.str().find("\n" + line + "\n"), std::string::npos) << out.str() << line;
    }
}
