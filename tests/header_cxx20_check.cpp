// C++20 clients range over a Reader with the standard library's algorithms: its iterator is an
// input iterator and a Reader an input range, as the concepts define them.

#include <collect_file/collect_file.h>

#include <iterator>
#include <ranges>

static_assert(std::input_iterator<collect_file::Reader::iterator>);
static_assert(std::ranges::input_range<collect_file::Reader>);
