// core_check.h                                                    -*-C++-*-
//
// Checks whose reported expression text is given explicitly (a condition
// written the way its report names it, such as "d_owner_can_be_null"), with
// an optional message.  Both evaluate to the condition.
#ifndef INCLUDED_CORE_CHECK
#define INCLUDED_CORE_CHECK

#include "core_assert.h"

#define CHECKF_AS(cond, exprText, ...)                                            \
    ((cond) ? true                                                                \
            : (::core::Assert::fail((exprText), CORE_FILE_STEM, __LINE__, 0,      \
                                    ::core::assert_detail::message(__VA_ARGS__)), \
               false))

// The same for conditions that data from outside can reach: never stops.
#define CHECKF_AS_NOSTOP(cond, exprText, ...)                                           \
    ((cond) ? true                                                                      \
            : (::core::Assert::failNoStop((exprText), CORE_FILE_STEM, __LINE__, 0,      \
                                          ::core::assert_detail::message(__VA_ARGS__)), \
               false))

#endif
