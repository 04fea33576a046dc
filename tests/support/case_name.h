// Table-driven test cases named and printed after their `what` text, so a failure names its row.
#ifndef TESTS_CASE_NAME_H
#define TESTS_CASE_NAME_H

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <utility>

// INSTANTIATE_TEST_SUITE_P(..., testing::ValuesIn(kCases), CaseName());
struct CaseName {
    template <class Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const {
        std::string name;
        for (const char* p = info.param.what; *p != '\0'; ++p)
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name + "_" + std::to_string(info.index);
    }
};

namespace testcase {
// Bring in with `using testcase::operator<<;` in the namespace of the case structs.
template <class Case, class = decltype(std::declval<const Case&>().what)>
std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.what;
}
}  // namespace testcase

#endif  // TESTS_CASE_NAME_H
