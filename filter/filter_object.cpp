#include "filter/filter_object.h"

#include <new>

namespace tavo {

filter_object_t* new_filter_object(std::uint32_t polarity) noexcept {
    auto* filter = new (std::nothrow) filter_object_t;
    if (filter != nullptr) filter->polarity = polarity;
    return filter;
}

}  // namespace tavo
