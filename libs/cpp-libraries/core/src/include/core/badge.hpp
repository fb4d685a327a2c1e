#pragma once

namespace kelm::libs::core {

// A pass key: a public function that takes a badge<T> can only be called from inside
// T, since only T can make one. Lets a factory keep a constructor to itself while
// std::make_shared still reaches it.
template <class T>
class badge {
    friend T;
    // User-provided on purpose: with a defaulted constructor badge would be an
    // aggregate, and anyone could make one with badge<T>{}.
    badge() {}
};

}  // namespace kelm::libs::core
