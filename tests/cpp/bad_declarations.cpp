// Declarations that must not compile. CTest compiles this file once per
// case (-DCASE_<name>) and expects the compiler to say what is wrong; with
// no case defined the good declarations must compile.
#include <cstdint>
#include <variant>

#include "messages/declare.hpp"

namespace plim::bad {
struct A {};
struct B {};
struct C {};
using F = std::variant<A, B, C>;
enum class E : std::uint8_t { X, Y, Z };
}  // namespace plim::bad

namespace plim {

template <>
struct Declare<bad::F> {
#if defined(CASE_family_name_missing)
    static constexpr auto variants = variant_names<bad::F>(named<bad::A>("A"), named<bad::B>("B"));
#elif defined(CASE_family_name_extra)
    static constexpr auto variants =
        variant_names<bad::F>(named<bad::A>("A"), named<bad::B>("B"), named<bad::C>("C"), named<bad::C>("D"));
#elif defined(CASE_family_name_misplaced)
    static constexpr auto variants = variant_names<bad::F>(named<bad::B>("B"), named<bad::A>("A"), named<bad::C>("C"));
#else
    static constexpr auto variants = variant_names<bad::F>(named<bad::A>("A"), named<bad::B>("B"), named<bad::C>("C"));
#endif
};

template <>
struct Declare<bad::E> {
#if defined(CASE_enum_name_missing)
    static constexpr auto variants = enumerator_names<bad::E, "X", "Y">;
#elif defined(CASE_enum_name_extra)
    static constexpr auto variants = enumerator_names<bad::E, "X", "Y", "Z", "W">;
#elif defined(CASE_enum_name_misplaced)
    static constexpr auto variants = enumerator_names<bad::E, "Y", "X", "Z">;
#else
    static constexpr auto variants = enumerator_names<bad::E, "X", "Y", "Z">;
#endif
};

}  // namespace plim
