// A scoped override of a seam table (a program's table of function pointers to its slow or
// visible calls): the constructor puts the test's fakes in, the destructor puts back the
// table it found. A test that ends early on a failed assertion leaves no fake behind for
// the tests after it. Overrides nest: an inner one puts back the outer one's fakes.
//
// A table that another thread reads must outlive that thread's use of it: declare the
// override before (outside) whatever owns the thread, so the thread has ended when the
// real calls come back.
#pragma once

#include <concepts>

template <typename Table>
class [[nodiscard]] ScopedSeams {
public:
    // fake(table) replaces the entries the test fakes in a copy of the table in force;
    // the copy is then installed whole.
    template <typename Fake>
        requires std::invocable<Fake&, Table&>
    ScopedSeams(Table* live, Fake fake) : live_(live), saved_(*live)
    {
        Table faked = saved_;
        fake(faked);
        *live_ = faked;
    }
    ~ScopedSeams() { *live_ = saved_; }
    ScopedSeams(const ScopedSeams&) = delete;
    ScopedSeams& operator=(const ScopedSeams&) = delete;

private:
    Table* live_;
    Table saved_;
};
