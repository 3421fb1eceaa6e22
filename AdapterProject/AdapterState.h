// The state of one loaded copy of the adapter, shared by the dispatch and the handlers.
// One call at a time runs in a copy (the exports hold a lock for the length of a call).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "TessarollUtil/Adapter.h"
#include "TessarollUtil/JsonMap.h"
#include "platform/CardComponentInterface.h"

inline constexpr const char* kAdapterName = "ZEFAVZDediGPKICryptATLAdapter";
inline constexpr const char* kAdapterVersion = "1,0,21,827";

inline constexpr int32_t kResultFunctionMissing = 61005;
inline constexpr int32_t kResultComponentFailed = 61011;
inline constexpr int32_t kResultKeyMissing = 61016;
// The page's origin is not one the administrator allows to use the card.
inline constexpr int32_t kResultOriginRefused = 61012;
inline constexpr int32_t kResultComponentNotCreated = 61905;

// The component, or null.
extern ICardCryptoComponent* componentInterface;

// Creates the component and builds the tables on the first call (and after a release).
// False when the component cannot be created.
bool initAdapter();
// Runs one function by "TessarollFunctionIndex", else by name ("61005" when there is none).
AdapterAnswer dispatchAdapterFunction(const JsonMap* map, const char* name);

AdapterAnswer systemGetVersion(const JsonMap* map);
AdapterAnswer systemUnlock(const JsonMap* map);
AdapterAnswer systemRelease(const JsonMap* map);

// The 61 component functions in index order.
struct ComponentFunctionRegistration {
    const char* name;
    AdapterFunction handler;
};
const std::vector<ComponentFunctionRegistration>& componentFunctionRegistrations();

// Tests: whether the tables are built, and the component function table by index.
bool adapterIsInitialized();
const std::vector<AdapterFunctionEntry>& adapterComponentFunctionIndex();
const AdapterFunctionTable* adapterFunctionTable();
