#pragma once

#include <QMetaObject>
#include <QObject>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <variant>

namespace twinslim {

// What an awaiting coroutine receives when the callback it waits for can no longer come:
// every copy of the resolver was dropped without an answer.
class CallbackDropped : public std::runtime_error {
public:
    CallbackDropped() : std::runtime_error("The operation ended without an answer.") {}
};

// Turns a callback-style operation into something a coroutine can co_await.
//
// The starter receives a Resolver and hands it to whatever answers later, on any thread.
// The awaiting coroutine is resumed exactly once, on the thread that awaited, from that
// thread's event loop: with the first value or error given to any copy of the resolver,
// or with CallbackDropped when the last copy goes away unanswered. Later answers are
// ignored. The resumption is always posted, even when the starter answers at once, so
// the code after co_await never runs inside the starter's call stack.
//
//     const int n = co_await CallbackAwaitable<int>([](auto resolver) {
//         startSomething([resolver](int result) { resolver.resolve(result); });
//     });
template <typename T> class CallbackAwaitable {
    using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    struct State {
        std::mutex mutex;
        bool answered = false;
        std::optional<Stored> value;
        std::exception_ptr error;
        std::coroutine_handle<> handle;
        QObject* context = nullptr; // lives on the awaiting thread until the resumption ran

        // Returns false when an answer was given before.
        bool deliver(std::optional<Stored> v, std::exception_ptr e, std::shared_ptr<State> self) {
            {
                std::lock_guard guard(mutex);
                if (answered)
                    return false;
                answered = true;
                value = std::move(v);
                error = std::move(e);
            }
            QMetaObject::invokeMethod(
                context,
                [self] {
                    self->context->deleteLater();
                    self->handle.resume();
                },
                Qt::QueuedConnection);
            return true;
        }
    };

    // Shared by all copies of one Resolver; its end without an answer is an answer too.
    struct Guard {
        explicit Guard(std::shared_ptr<State> s) : state(std::move(s)) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        std::shared_ptr<State> state;
        ~Guard() {
            state->deliver(std::nullopt, std::make_exception_ptr(CallbackDropped()), state);
        }
    };

public:
    class Resolver {
    public:
        // Each returns false when the operation had already been answered.
        bool resolve(Stored value) const requires(!std::is_void_v<T>) {
            return m_guard->state->deliver(std::move(value), nullptr, m_guard->state);
        }
        bool resolve() const requires std::is_void_v<T> {
            return m_guard->state->deliver(std::monostate{}, nullptr, m_guard->state);
        }
        bool reject(std::exception_ptr error) const {
            return m_guard->state->deliver(std::nullopt, std::move(error), m_guard->state);
        }
        template <typename E>
        requires std::is_base_of_v<std::exception, E>
        bool reject(E error) const { return reject(std::make_exception_ptr(std::move(error))); }

    private:
        friend class CallbackAwaitable;
        explicit Resolver(std::shared_ptr<State> state)
            : m_guard(std::make_shared<Guard>(std::move(state))) {}
        std::shared_ptr<Guard> m_guard;
    };

    using Starter = std::function<void(Resolver)>;

    explicit CallbackAwaitable(Starter starter)
        : m_starter(std::move(starter)), m_state(std::make_shared<State>()) {}

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> handle) {
        m_state->handle = handle;
        m_state->context = new QObject;
        Resolver resolver(m_state);
        try {
            m_starter(resolver);
        } catch (...) {
            // A starter that throws answers with its exception, unless it answered already.
            resolver.reject(std::current_exception());
        }
    }

    T await_resume() {
        if (m_state->error)
            std::rethrow_exception(m_state->error);
        if constexpr (!std::is_void_v<T>)
            return std::move(*m_state->value);
    }

private:
    Starter m_starter;
    std::shared_ptr<State> m_state;
};

} // namespace twinslim
