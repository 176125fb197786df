// Includes every umbrella header alone and touches one symbol of each library, so that a missing
// header, an unexported symbol or a broken run path fails to build or to start.
#include <vesk/core.h>
#include <vesk/format.h>
#include <vesk/http.h>
#include <vesk/log.h>
#include <vesk/playlist.h>
#include <vesk/stream.h>
#include <vesk/utils.h>

#include <cstdio>

int main()
{
    const auto level = vesk::log::logLevelFromString(QStringLiteral("warning"));
    if (!level || vesk::log::logLevelToStr(*level) != QStringLiteral("warn")) {
        std::puts("log: wrong level conversion");
        return 1;
    }
    vesk::HttpResponse response;
    vesk::Encoder encoder;
    vesk::Decoder decoder;
    vesk::Generator generator;
    std::printf("vesk consumer ok: %s\n", vesk::AvError::errorString(-1).c_str());
    return 0;
}
