#include "errors/tree_mismatch.h"

#include "text/utf8.h"

namespace tessela {

std::string TreeMismatch::description() const {
    return (path.empty() ? std::string("(item)") : repairUtf8(path)) + ": " + reason;
}

}  // namespace tessela
