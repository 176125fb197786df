// The register parses a TF that a paired server (or whoever holds its key) wrote: whatever the
// bytes, the parse must end without a crash, in memory that grows with the input alone, and a
// list it takes must hold only names inside the directory.
#include <vesk/file/inside.h>
#include <vesk/protocol/transactionfile.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(size));
    const vesk::protocol::TransactionFile parsed = vesk::protocol::parseTransactionFile(content);
    if (parsed.namedOutside.size() > vesk::protocol::TransactionFile::maxNamedOutside
        || parsed.outside < parsed.namedOutside.size())
        std::abort();
    if (parsed.list) {
        const vesk::protocol::TransactionList& list = parsed.list.value();
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QByteArrayView name = list.name(i);
            const auto components
                = vesk::file::componentsInside(std::string_view(name.data(), std::size_t(name.size())));
            if (!components || components->empty())
                std::abort();
        }
    }
    vesk::protocol::transactionLines(content);
    return 0;
}
