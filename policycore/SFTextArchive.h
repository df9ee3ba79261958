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
// SFStoredSizeException, when the input left to read cannot hold them, and a
// string is filled only as its characters arrive. The input's size is known for string streams
// (every reader of outside input reads from one); other streams get the gradual filling only.
//
// Bounding a count by the characters left bounds the number of elements, not their memory: an
// element may take two characters of text and hundreds of bytes in memory, and boost sizes a
// vector to its count before reading an element. So each collection's count is also weighed
// with the memory one of its elements takes (SFCollectionCost below): a vector, one block, may
// take no more bytes than there are characters left (plus a small allowance), and the elements
// of all collections of one input together at most kElementBytesPerCharacter bytes per input
// character plus kElementBytesAllowance. With strings filled as they arrive, a reader's memory
// stays within a few times its input, whatever the element type.

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
#include <sstream>
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

// A stored length or count that the input cannot hold. An archive_exception of code
// other_exception (so readers that take an input_stream_error for the end of a shorter record
// do not take this for one) whose text says what was refused.
class SFStoredSizeException : public boost::archive::archive_exception {
public:
    explicit SFStoredSizeException(const char* what)
        : archive_exception(other_exception), m_what(what)
    {
    }
    const char* what() const noexcept override { return m_what; }

private:
    const char* m_what; // a string literal
};

[[noreturn]] inline void refuseStoredSize(const char* what)
{
    throw SFStoredSizeException(what);
}

// The memory one element of a collection takes (element, with the object a pointer element
// points to and the links of a node), and the bytes it takes in the collection's own block when
// the collection is one block (slot, 0 otherwise). Both 0 for what is no collection. Every
// collection type read from outside has an entry here.
template <class T> struct SFCollectionCost {
    static constexpr std::size_t element = 0;
    static constexpr std::size_t slot = 0;
};
template <class U> constexpr std::size_t sfHeldBytes()
{
    if constexpr (std::is_pointer_v<U>)
        return sizeof(U) + sizeof(std::remove_pointer_t<U>);
    else
        return sizeof(U);
}
template <class U, class A> struct SFCollectionCost<std::vector<U, A>> {
    static constexpr std::size_t element = sfHeldBytes<U>();
    static constexpr std::size_t slot = sizeof(U);
};
template <class U, class A> struct SFCollectionCost<std::list<U, A>> {
    static constexpr std::size_t element = sfHeldBytes<U>() + 2 * sizeof(void*);
    static constexpr std::size_t slot = 0;
};
template <class K, class V, class C, class A> struct SFCollectionCost<std::map<K, V, C, A>> {
    static constexpr std::size_t element = sizeof(std::pair<const K, V>) + 4 * sizeof(void*);
    static constexpr std::size_t slot = 0;
};

// The memory the elements of all collections of one input may take: per input character, and
// once per input. Real stores and payloads take about six bytes per character in rules and
// matches, so eight per character keeps every store the daemon writes readable whatever its
// size, and the allowance (the largest command data the channel carries) covers small inputs
// of unusual shape, while a hostile input gets no more than a few times its size. The
// allowance of a collection in one block is small: it is allocated before a single element is
// read.
inline constexpr std::size_t kElementBytesPerCharacter = 8;
inline constexpr std::size_t kElementBytesAllowance = std::size_t(64) << 20;
inline constexpr std::size_t kBlockBytesAllowance = std::size_t(64) << 10;

// The checks shared by the narrow and the wide reader. Archive is the reader itself (boost's
// archives name their most derived class), Impl boost's text archive implementation, Char the
// character type of its stream.
template <class Archive, template <class> class Impl, class Char>
class SFCheckingTextIArchive : public Impl<Archive> {
protected:
    friend class boost::archive::detail::interface_iarchive<Archive>;
    friend class boost::archive::basic_text_iarchive<Archive>;
    friend class boost::archive::load_access;
    using Base = Impl<Archive>;

    template <class Stream> SFCheckingTextIArchive(Stream& in, unsigned int flags) : Base(in, flags)
    {
        const std::size_t input = remaining();
        if (input != UNKNOWN && input < (UNKNOWN - kElementBytesAllowance) / kElementBytesPerCharacter)
            m_elementBytesLeft = input * kElementBytesPerCharacter + kElementBytesAllowance;
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
        using Weight = SFCollectionCost<std::remove_cv_t<T>>;
        if constexpr (Weight::element != 0)
            m_pendingCost = Cost{Weight::element, Weight::slot};
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
    // one may end the input without a separator. Then the memory the count asks for (above).
    void load_override(boost::serialization::collection_size_type& t)
    {
        Base::load_override(t);
        const std::size_t count = t;
        const Cost cost = std::exchange(m_pendingCost, Cost{});
        const std::size_t left = remaining();
        if (left == UNKNOWN)
            return;
        if (count > left / 2 + 1)
            refuseStoredSize("list count larger than the input");
        // count <= left / 2 + 1 here, so neither product overflows for elements of our sizes.
        if (cost.slot != 0 && count * cost.slot > left + kBlockBytesAllowance)
            refuseStoredSize("list count larger than the input");
        if (count * cost.element > m_elementBytesLeft)
            refuseStoredSize("lists larger than the memory their input allows");
        m_elementBytesLeft -= count * cost.element;
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

    // Characters left in the input, or UNKNOWN when the stream is not a string stream.
    std::size_t remaining() const
    {
        auto* buffer = dynamic_cast<std::basic_stringbuf<Char>*>(this->is.rdbuf());
        if (buffer == nullptr)
            return UNKNOWN;
        const std::streamsize left = buffer->in_avail();
        return left > 0 ? static_cast<std::size_t>(left) : 0;
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

    struct Cost {
        std::size_t element = 0;
        std::size_t slot = 0;
    };

    SFClassIdCheck m_classIds;
    Cost m_pendingCost;                        // of the collection whose count is read next
    std::size_t m_elementBytesLeft = UNKNOWN; // of this input's element budget
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
