#include "SFTextOArchive.h"

// The archive templates' member definitions, instantiated below for our two writers.
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_text_oarchive.ipp>
#include <boost/archive/impl/text_oarchive_impl.ipp>
#include <boost/archive/impl/text_woarchive_impl.ipp>

namespace boost {
namespace archive {
template class detail::archive_serializer_map<StatefulFirewall::SFTextOArchive>;
template class basic_text_oarchive<StatefulFirewall::SFTextOArchive>;
template class text_oarchive_impl<StatefulFirewall::SFTextOArchive>;
template class detail::archive_serializer_map<StatefulFirewall::SFTextWOArchive>;
template class basic_text_oarchive<StatefulFirewall::SFTextWOArchive>;
template class text_woarchive_impl<StatefulFirewall::SFTextWOArchive>;
} // namespace archive
} // namespace boost
