// The settings that belong to one loader. Each loader's file defines a struct of its own and
// reaches it through get<T>(); nothing outside that file needs to know its fields, and a
// new loader adds no field anywhere else.
#pragma once

#include <memory>
#include <utility>
#include <vector>

namespace kvr {

class LoaderOptions {
public:
    LoaderOptions() = default;
    LoaderOptions(const LoaderOptions& other) { copy_from(other); }
    LoaderOptions& operator=(const LoaderOptions& other) {
        if (this != &other) copy_from(other);
        return *this;
    }
    LoaderOptions(LoaderOptions&&) noexcept = default;
    LoaderOptions& operator=(LoaderOptions&&) noexcept = default;

    // The options of type T, made with their defaults the first time they are asked for.
    template <class T>
    T& get() {
        if (Slot* slot = find(tag<T>())) return static_cast<Held<T>&>(*slot->value).value;
        slots_.push_back({tag<T>(), std::make_unique<Held<T>>()});
        return static_cast<Held<T>&>(*slots_.back().value).value;
    }
    // The options of type T as set, or their defaults.
    template <class T>
    const T& get() const {
        static const T defaults{};
        const Slot* slot = const_cast<LoaderOptions*>(this)->find(tag<T>());
        return slot != nullptr ? static_cast<const Held<T>&>(*slot->value).value : defaults;
    }

private:
    struct Base {
        virtual ~Base() = default;
        virtual std::unique_ptr<Base> clone() const = 0;
    };
    template <class T>
    struct Held final : Base {
        T value{};
        std::unique_ptr<Base> clone() const override { return std::make_unique<Held>(*this); }
    };
    struct Slot {
        const void* tag;
        std::unique_ptr<Base> value;
    };
    // One address per type, the same in every file that asks for it.
    template <class T>
    static const void* tag() {
        static const char mark = 0;
        return &mark;
    }

    Slot* find(const void* t) {
        for (Slot& s : slots_)
            if (s.tag == t) return &s;
        return nullptr;
    }
    void copy_from(const LoaderOptions& other) {
        std::vector<Slot> copies;
        for (const Slot& s : other.slots_) copies.push_back({s.tag, s.value->clone()});
        slots_ = std::move(copies);
    }

    std::vector<Slot> slots_;
};

}  // namespace kvr
