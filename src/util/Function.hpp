#pragma once
// A small copyable callable returning bool that binds an object and one of its functions,
// without allocating; and what a retry loop needs around it.
#include <functional>

class Function {
public:
    Function() = default;

    template <typename T, bool (*F)(T&)> static Function bind(T& object) {
        return Function(&invokeFree<T, F>, &object);
    }
    template <typename T, bool (T::*M)()> static Function bind(T& object) {
        return Function(&invokeMember<T, M>, &object);
    }

    bool empty() const { return invoker == nullptr; }
    bool operator()() const {
        if (invoker == nullptr)
            throw std::bad_function_call();
        return invoker(object);
    }

private:
    using Invoker = bool (*)(void*);
    Function(Invoker invoker, void* object) : invoker(invoker), object(object) {}

    template <typename T, bool (*F)(T&)> static bool invokeFree(void* object) {
        return F(*static_cast<T*>(object));
    }
    template <typename T, bool (T::*M)()> static bool invokeMember(void* object) {
        return (static_cast<T*>(object)->*M)();
    }

    Invoker invoker = nullptr;
    void* object = nullptr;
};

struct RetryContext {
    Function action;        // one attempt; true is success
    Function recover;       // may be empty; runs before every further attempt, false ends retrying
    unsigned retries = 0;   // further attempts after the first
    const char* label = ""; // countdown label
    int delayMs = 0;        // countdown before each further attempt
};
