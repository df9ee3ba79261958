#pragma once

// Text input archives that read the same bytes as boost's text_iarchive and text_wiarchive, but
// check every class id before boost uses it and bound every stored length and count by the input.
//
// boost 1.74 indexes its class table with the class id it reads for a pointer without checking
// it: a damaged store whose data tokens slide into a class-id position (an edited format field
// is enough) crashed the reader. These archives mirror the table boost builds (classes are
// numbered in the order they are first loaded) and refuse, with an archive_exception, a class
// id that is neither the pointer's class already seen nor the next new number. Use them for
// every input that comes from outside: stores and command payloads. One archive per thread.
//
// boost also sizes strings and collections from the number stored in front of them (a string
// is resized to it, a vector reserved): one changed number made it allocate and zero-fill
// gigabytes. Here a string's stored length and a collection's stored count are refused, with an
// SFStoredSizeException, when the input left to read cannot hold them, and a string is filled
// only as its characters arrive.
//
// Bounding a count by the characters left bounds the number of elements, not their memory: an
// element may take two characters of text and hundreds of bytes in memory, and boost sizes a
// vector to its count before reading an element. So each collection is also weighed as
// SFArchiveWeight.h describes: a vector, one block, may take no more bytes than there are
// characters left (plus a small allowance); when its count is read, each collection is charged
// against what the whole input allows, so no read grows past that while it runs; and once the
// last value is read, what was charged must fit what the characters read earn (an
// SFOverweightException otherwise), the rule the weighing writers apply to what they write.
//
// The bounds need the input's size and position: the archives read them from an SFArchiveInput
// (below), which readCheckedArchive and readCheckedWideArchive (SFCheckedRead.h) put under
// them. Over any other stream a string is still filled gradually, but nothing is weighed.

#include "SFArchiveWeight.h"

#include <boost/archive/archive_exception.hpp>
#include <boost/archive/basic_archive.hpp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_wiarchive.hpp>
#include <boost/serialization/collection_size_type.hpp>
#include <boost/serialization/level.hpp>

#include <algorithm>
#include <cstddef>
#include <istream>
#include <list>
#include <map>
#include <streambuf>
#include <string>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <vector>

namespace StatefulFirewall {

// The class numbering shared by the two archives below.
class SFClassIdCheck {
public:
    // A class loaded by value: boost numbers it on first load when it carries class information.
    template <class T> void noteObject()
    {
        if (boost::serialization::implementation_level<T>::value >=
            boost::serialization::object_class_info)
            m_ids.emplace(std::type_index(typeid(T)), static_cast<int>(m_ids.size()));
    }
    // The class of the pointer whose class id is read next.
    template <class T> void notePointer() { m_pointer = &typeid(T); }
    // Throws archive_exception unless id may stand for the pending pointer's class.
    void check(int id);

private:
    std::map<std::type_index, int> m_ids;
    const std::type_info* m_pointer = nullptr;
};

// Archive text read in place, for the checking readers: the whole text is the stream's buffer,
// so a read holds no copy of its input and the archive can tell how much of it is left and
// which part it has read. The text must outlive the buffer; it is only ever read.
template <class Char> class SFArchiveInput : public std::basic_streambuf<Char> {
public:
    explicit SFArchiveInput(const std::basic_string<Char>& text)
    {
        Char* begin = const_cast<Char*>(text.data());
        this->setg(begin, begin, begin + text.size());
    }
    std::size_t left() const { return static_cast<std::size_t>(this->egptr() - this->gptr()); }
    const Char* begin() const { return this->eback(); }
    std::size_t read() const { return static_cast<std::size_t>(this->gptr() - this->eback()); }
};

// The checks shared by the narrow and the wide reader. Archive is the reader itself (boost's
// archives name their most derived class), Impl boost's text archive implementation, Char the
// character type of its stream.
template <class Archive, template <class> class Impl, class Char>
class SFCheckingTextIArchive : public Impl<Archive> {
public:
    // Call after the last value: refuses, with an SFOverweightException, collections that
    // weigh more than the characters read so far earn.
    void checkWeight() const
    {
        const SFArchiveInput<Char>* input = inputBuffer();
        if (input == nullptr)
            return;
        SFEarnedCharacters earned;
        earned.add(input->begin(), input->read());
        if (m_charged > elementBytesAllowed(earned.count()))
            refuseOverweight("lists larger than the memory their input allows");
    }

protected:
    friend class boost::archive::detail::interface_iarchive<Archive>;
    friend class boost::archive::basic_text_iarchive<Archive>;
    friend class boost::archive::load_access;
    using Base = Impl<Archive>;

    template <class Stream> SFCheckingTextIArchive(Stream& in, unsigned int flags) : Base(in, flags)
    {
        const std::size_t input = remaining();
        if (input != UNKNOWN)
            m_elementBytesLeft = elementBytesAllowed(input);
    }

    // Reads the header. Only the most derived constructor may call it: boost reaches the
    // archive through a cast to the most derived class.
    void readHeader(unsigned int flags)
    {
        if ((flags & boost::archive::no_header) == 0)
            this->init();
    }

    template <class T> void load_override(T& t)
    {
        m_classIds.template noteObject<T>();
        // A collection's count is the next one read: boost reads it before anything else of
        // the collection (after the class information, which is no count).
        if constexpr (sfCostOf<T>().element != 0)
            m_pendingCost = sfCostOf<T>();
        Base::load_override(t);
    }
    template <class T> void load_override(T*& t)
    {
        m_classIds.template notePointer<T>();
        Base::load_override(t);
    }
    void load_override(boost::archive::class_id_type& t)
    {
        Base::load_override(t);
        m_classIds.check(t);
    }
    // Every element of a collection takes at least one number and its separator; the last
    // one may end the input without a separator. Then the memory the count asks for (above),
    // taken from what the whole input allows, so every later collection has only the rest.
    void load_override(boost::serialization::collection_size_type& t)
    {
        Base::load_override(t);
        const std::size_t count = t;
        const SFElementCost cost = std::exchange(m_pendingCost, SFElementCost{});
        const std::size_t left = remaining();
        if (left != UNKNOWN) {
            if (count > left / 2 + 1)
                refuseStoredSize("list count larger than the input");
            // count <= left / 2 + 1 here, so the product does not overflow for our slots.
            if (cost.slot != 0 && count * cost.slot > left + kBlockBytesAllowance)
                refuseStoredSize("list count larger than the input");
        }
        const std::size_t bytes = elementBytesOf(count, cost);
        if (bytes > m_elementBytesLeft)
            refuseOverweight("lists larger than the memory their input allows");
        m_elementBytesLeft -= bytes;
        m_charged += bytes;
    }

    // Primitive values: boost's load_access calls the most derived archive's load.
    template <class T> void load(T& t) { Base::load(t); }
    void load(std::string& s) { loadText(s); }
    void load(std::wstring& s) { loadText(s); }
    // A bare character array has no size to check a stored length against; the model never
    // stores one, so one in the input is refused.
    void load(char*) { refuseStoredSize("character array without a size"); }
    void load(wchar_t*) { refuseStoredSize("character array without a size"); }

private:
    static constexpr std::size_t UNKNOWN = static_cast<std::size_t>(-1);
    // Characters are taken from the stream this many at a time, so a string never holds much
    // more than the input really had, whatever its stored length.
    static constexpr std::size_t CHUNK = 65536;

    const SFArchiveInput<Char>* inputBuffer() const
    {
        return dynamic_cast<const SFArchiveInput<Char>*>(this->is.rdbuf());
    }

    // Characters left in the input, or UNKNOWN when it is read from another stream.
    std::size_t remaining() const
    {
        const SFArchiveInput<Char>* input = inputBuffer();
        return input != nullptr ? input->left() : UNKNOWN;
    }

    // The same text forms as boost's: the length, one separating character, then the
    // characters. A narrow archive stores a wide string's characters as their raw bytes; a
    // wide archive stores a narrow string's characters one per wide character.
    template <class Text> void loadText(Text& text)
    {
        using Unit = typename Text::value_type;
        constexpr bool raw = sizeof(Unit) > sizeof(Char);
        constexpr std::size_t perUnit = raw ? sizeof(Unit) / sizeof(Char) : 1;
        std::size_t size = 0;
        *this->This() >> size;
        this->is.get(); // the separator
        const std::size_t left = remaining();
        if (left != UNKNOWN ? size > left / perUnit : size > UNKNOWN / perUnit)
            refuseStoredSize("string length larger than the input");
        text.clear();
        while (text.size() < size) {
            const std::size_t start = text.size();
            const std::size_t count = std::min(CHUNK, size - start);
            text.resize(start + count);
            std::streamsize got = 0;
            if constexpr (raw) {
                this->is.read(reinterpret_cast<Char*>(&text[start]),
                              static_cast<std::streamsize>(count * perUnit));
                got = this->is.gcount() / static_cast<std::streamsize>(perUnit);
            } else if constexpr (sizeof(Unit) == sizeof(Char)) {
                this->is.read(reinterpret_cast<Char*>(&text[start]),
                              static_cast<std::streamsize>(count));
                got = this->is.gcount();
            } else {
                // Narrow string in a wide archive: each character narrowed as boost does.
                for (; static_cast<std::size_t>(got) < count; ++got) {
                    const auto c = this->is.get();
                    if (!this->is)
                        break;
                    text[start + static_cast<std::size_t>(got)] =
                        this->is.narrow(static_cast<Char>(c), '\0');
                }
            }
            if (static_cast<std::size_t>(got) != count)
                refuseStoredSize("string cut short by the end of the input");
        }
    }

    SFClassIdCheck m_classIds;
    SFElementCost m_pendingCost;              // of the collection whose count is read next
    std::size_t m_elementBytesLeft = UNKNOWN; // of what the whole input allows
    std::size_t m_charged = 0;                // element memory of the counts read so far
};

class SFTextIArchive
    : public SFCheckingTextIArchive<SFTextIArchive, boost::archive::text_iarchive_impl, char> {
public:
    explicit SFTextIArchive(std::istream& in, unsigned int flags = 0)
        : SFCheckingTextIArchive(in, flags)
    {
        readHeader(flags);
    }
};

class SFTextWIArchive
    : public SFCheckingTextIArchive<SFTextWIArchive, boost::archive::text_wiarchive_impl,
                                    wchar_t> {
public:
    explicit SFTextWIArchive(std::wistream& in, unsigned int flags = 0)
        : SFCheckingTextIArchive(in, flags)
    {
        readHeader(flags);
    }
};

} // namespace StatefulFirewall

BOOST_SERIALIZATION_REGISTER_ARCHIVE(StatefulFirewall::SFTextIArchive)
BOOST_SERIALIZATION_REGISTER_ARCHIVE(StatefulFirewall::SFTextWIArchive)
