#include "target_names.hpp"

#include "convert.hpp"
#include "fault_boundary.hpp"

namespace kelpie::py {

PyRef TargetNames::to_list(const std::vector<std::string>& names) {
    if (names != texts_) {
        PyRef fresh = from_text_list(names);
        texts_.clear();
        objects_.clear();
        if (names.size() <= kMaxKept) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fresh.get()); ++i)
                objects_.push_back(PyRef::borrow(PyList_GET_ITEM(fresh.get(), i)));
            texts_ = names;
        }
        return fresh;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(objects_.size())));
    if (!list) api_failure();
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        Py_INCREF(objects_[i].get());
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects_[i].get());
    }
    return list;
}

}  // namespace kelpie::py
