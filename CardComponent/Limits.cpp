#include "CardComponent/Limits.h"

#include "CardComponent/CardEngine.h"
#include "CardComponent/CardErrors.h"
#include "TessarollUtil/Log.h"

#include <string>

namespace card {

void refuseOverLimit(std::string_view what, std::size_t size, std::size_t limit) {
    setLog(kComponentLogName);
    writeWarningLog("Refused, over the limit: ", std::string(what) + " " + std::to_string(size) +
                                                     ", limit " + std::to_string(limit));
    fail(kInvalidArgument);
}

}  // namespace card
