#pragma once

#include <memory>

namespace tavrolin {

// Whether the object a coroutine works for still exists. A coroutine that
// can outlive its object (one started from a timer, a signal or a call
// nobody awaits) takes a guard before its first co_await and checks it
// after every one. The owner ends its lifetime first thing in its
// destructor, so that waiters the destructor itself completes already see
// it gone (a QPointer would still point at the half-destroyed object then).
class Lifetime {
public:
    class Guard {
    public:
        explicit operator bool() const { return *m_alive; }

    private:
        friend class Lifetime;
        explicit Guard(std::shared_ptr<const bool> alive) : m_alive(std::move(alive)) {}
        std::shared_ptr<const bool> m_alive;
    };

    Lifetime() = default;
    Lifetime(const Lifetime &) = delete;
    Lifetime &operator=(const Lifetime &) = delete;
    ~Lifetime() { end(); }

    Guard guard() const { return Guard(m_alive); }
    void end() { *m_alive = false; }

private:
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace tavrolin
