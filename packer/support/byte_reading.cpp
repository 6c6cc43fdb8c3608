#include "packer/support/byte_reading.h"

namespace tallix {

bool readAt(std::istream &in, std::uint64_t offset, void *out, std::size_t count) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in) {
        in.clear();
        return false;
    }
    in.read(static_cast<char *>(out), static_cast<std::streamsize>(count));
    bool complete = static_cast<std::size_t>(in.gcount()) == count;
    in.clear();
    return complete;
}

} // namespace tallix
