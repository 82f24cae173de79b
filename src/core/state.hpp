// Process-wide constants: made checked, once, in one place per module (its
// init_state(), called while the module executes), never on first use.
//
// A constant made lazily on a hot path can fail to be made (an allocation
// failure), and a cache that remembers the failure, or a start-up that
// trusts "the last one made" as its done flag, poisons the process for good.
// Here every constant of one start-up is made through one ConstantMaker:
// if any fails, all made so far are released and nothing is published, so
// a later import starts afresh; once all exist they are published together
// and the module's `ready` flag says so. They then live for the process:
// interned strings are not kept alive by 3.11's interned table, and nothing
// may release them after the interpreter is gone.
#pragma once

#include <vector>

#include "protocol.hpp"

namespace vsk {

class ConstantMaker {
public:
    // Takes over a new reference from a C-API call (unwinds on null) and
    // returns it borrowed; it stays alive for as long as the maker, or for
    // the process once committed.
    PyObject* keep(PyObject* made) {
        Ref owned = require(made);
        made_.push_back(std::move(owned));
        return made_.back().get();
    }
    PyObject* keep(Ref made) { return keep(made.release()); }

    PyObject* intern(const char* text) { return keep(PyUnicode_InternFromString(text)); }

    // Takes over everything `other` made.
    void adopt(ConstantMaker& other) {
        for (Ref& made : other.made_) made_.push_back(std::move(made));
        other.made_.clear();
    }

    // Every constant was made: keep them all for the process.
    void commit() {
        for (Ref& made : made_) made.release();
        made_.clear();
    }

private:
    std::vector<Ref> made_;  // released on destruction unless committed
};

// The constants the shared core uses in both modules (each module has its
// own copy, made by its init_state()).
struct CoreState {
    bool ready = false;
    // The builtins module's namespace, as for a function defined in Python
    // in a module without its own __builtins__: never the calling frame's.
    PyObject* builtins = nullptr;
    // Path strings and the walks' depth step.
    PyObject* dot = nullptr;            // "."
    PyObject* empty = nullptr;          // ""
    PyObject* open_bracket = nullptr;   // "["
    PyObject* close_bracket = nullptr;  // "]"
    PyObject* dunder_name = nullptr;    // "__name__"
    PyObject* one = nullptr;            // 1
};

inline CoreState core_state;

inline CoreState make_core_state(ConstantMaker& make, PyObject* builtins) {
    CoreState s;
    s.builtins = make.keep(Py_NewRef(builtins));
    s.dot = make.intern(".");
    s.empty = make.intern("");
    s.open_bracket = make.intern("[");
    s.close_bracket = make.intern("]");
    s.dunder_name = make.intern("__name__");
    s.one = make.keep(PyLong_FromLong(1));
    return s;
}

}  // namespace vsk
