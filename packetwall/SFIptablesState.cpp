// Placeholder bodies, replaced as the file is written.
#include "SFIptables.h"

#include "IHelperUtils.h"

#include <stdexcept>

namespace StatefulFirewall {

void SFIptables::loadState() {}
void SFIptables::saveState() {}

} // namespace StatefulFirewall
