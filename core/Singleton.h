// One object of a class per process, built on first use and destroyed at program exit.
#pragma once

namespace VZ::Core::Pattern {

// `T` derives from Singleton<T, Tag> and befriends it; `Tag` tells apart two singletons
// of one type.
template <typename T, typename Tag = T>
class Singleton {
public:
    static T& instance() {
        static T object;  // thread-safe construction by the language
        return object;
    }
    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

protected:
    Singleton() = default;
    virtual ~Singleton() = default;
};

}  // namespace VZ::Core::Pattern
