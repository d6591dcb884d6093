// FreeList<T>: objects of one kind kept for reuse once given back, so that work handed from
// thread to thread in a steady stream allocates nothing once the list holds as many objects
// as were ever out at once. Safe from any thread; an object given back is taken again in
// whatever state it was given in.
#pragma once

#include <mutex>
#include <type_traits>

namespace platform {

template <class T>
class FreeList {
public:
    FreeList() = default;
    FreeList(const FreeList&) = delete;
    FreeList& operator=(const FreeList&) = delete;
    ~FreeList() {
        while (Node* node = head_) {
            head_ = node->next;
            delete node;
        }
    }

    // An object given back earlier, or a new one.
    T* take() {
        {
            std::lock_guard lock(mutex_);
            if (Node* node = head_) {
                head_ = node->next;
                return &node->object;
            }
        }
        return &(new Node)->object;
    }

    // Gives back an object that take() handed out.
    void give(T* object) noexcept {
        static_assert(std::is_standard_layout_v<Node>, "a T* must convert back to its node");
        Node* node = reinterpret_cast<Node*>(object);
        std::lock_guard lock(mutex_);
        node->next = head_;
        head_ = node;
    }

private:
    struct Node {
        T object{};  // first: a T* is the address of its node
        Node* next = nullptr;
    };

    std::mutex mutex_;
    Node* head_ = nullptr;
};

}  // namespace platform
