#include "TessarollSession/Dispatcher.h"

const JsonMap* requestMap = nullptr;
std::optional<std::string> requestOrigin;
uint32_t ownProcessId = 0;

JsonMapPtr dispatchSessionRequest() { return nullptr; }

void sanitizePathName(std::string& text, std::size_t size) { (void)text; (void)size; }
