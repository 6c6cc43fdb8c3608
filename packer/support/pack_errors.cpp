#include "packer/support/pack_errors.h"

#include <cstdio>

namespace tallix {

int runReportingErrors(const char *command, const std::function<int()> &body) {
    try {
        return body();
    } catch (const BadInput &problem) {
        std::fprintf(stderr, "tallix-pack %s: %s\n", command, problem.what());
        return STATUS_BAD_INPUT;
    } catch (const std::exception &problem) {
        std::fprintf(stderr, "tallix-pack %s: %s\n", command, problem.what());
        return STATUS_FAILURE;
    }
}

} // namespace tallix
