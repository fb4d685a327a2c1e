#pragma once

namespace kelm::libs::core {

// A pass key: a public function that takes a badge<T> can only be called from inside
// T, since only T can make one. Lets a factory keep a constructor to itself while
// std::make_shared still reaches it.
template <class T>
class badge {
    friend T;
    badge() = default;
};

}  // namespace kelm::libs::core
