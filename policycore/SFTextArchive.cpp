#include "SFTextArchive.h"

#include <boost/archive/archive_exception.hpp>

// The archive templates' member definitions, instantiated below for our two archives.
#include <boost/archive/impl/archive_serializer_map.ipp>
#include <boost/archive/impl/basic_text_iarchive.ipp>
#include <boost/archive/impl/text_iarchive_impl.ipp>
#include <boost/archive/impl/text_wiarchive_impl.ipp>

namespace boost {
namespace archive {
template class detail::archive_serializer_map<StatefulFirewall::SFTextIArchive>;
template class basic_text_iarchive<StatefulFirewall::SFTextIArchive>;
template class text_iarchive_impl<StatefulFirewall::SFTextIArchive>;
template class detail::archive_serializer_map<StatefulFirewall::SFTextWIArchive>;
template class basic_text_iarchive<StatefulFirewall::SFTextWIArchive>;
template class text_wiarchive_impl<StatefulFirewall::SFTextWIArchive>;
} // namespace archive
} // namespace boost

namespace StatefulFirewall {

void SFClassIdCheck::check(int id)
{
    const std::type_info* pointer = m_pointer;
    m_pointer = nullptr;
    if (id == -1 || pointer == nullptr)
        return; // a null pointer; the list loads refuse it themselves
    const auto known = m_ids.find(std::type_index(*pointer));
    if (known != m_ids.end() ? id == known->second : id == static_cast<int>(m_ids.size())) {
        m_ids.emplace(std::type_index(*pointer), id);
        return;
    }
    throw boost::archive::archive_exception(boost::archive::archive_exception::unregistered_class,
                                            "class id out of place");
}

} // namespace StatefulFirewall
