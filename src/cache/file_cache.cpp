// FileCache: a memoising decorator whose results live in a shelf file, so
// that later runs opening the same file find them again.
#include "cache.hpp"
#include "../bridge/args.hpp"
#include "../bridge/closure.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

#include <string>

namespace cu::cache {

namespace {

const Name n__cache("_cache"), n_shelve("shelve"), n_open("open"), n_close("close"),
    n___init__("__init__"), n_hash("hash"),
    n_str("str"), n_FileCache("FileCache"), n___module__("__module__"),
    n___qualname__("__qualname__");

// ==== shelf keys =============================================================
//
// The shelf stores text keys.  A str key is used as it is (files written
// earlier hold such keys); any other key is written in a text form that
// depends only on the values, never on a process's hash seed or object
// addresses, so another process finds the entry again.  The form starts
// with a control character no ordinary text key begins with, tags every
// value by its type, and length-prefixes what it cannot spell itself, so two
// keys share a text only when their values are equal.

constexpr char kKeyMark = '\x1f';
constexpr int kMaxDepth = 32;

void encode(PyObject* o, std::string& out, int depth);

void encode_items(PyObject* seq, char open, char close, std::string& out, int depth) {
    out += open;
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) throw_error();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = check(PySequence_GetItem(seq, i));
        encode(item.get(), out, depth + 1);
        out += ',';
    }
    out += close;
}

// type.__module__ + "." + type.__qualname__ + "#" + length + ":" + repr
void encode_opaque(PyObject* o, std::string& out) {
    PyObject* type = (PyObject*)Py_TYPE(o);
    out += '<';
    out += to_string(getattr(type, n___module__).get());
    out += '.';
    out += to_string(getattr(type, n___qualname__).get());
    std::string text = utf8(repr_of(o).get());
    out += '#';
    out += std::to_string(text.size());
    out += ':';
    out += text;
    out += '>';
}

void encode(PyObject* o, std::string& out, int depth) {
    PyTypeObject* t = Py_TYPE(o);
    if (depth > kMaxDepth) {
        encode_opaque(o, out);  // repr copes with self-containing values
    } else if (o == PyTuple_GetItem(kwd_mark(), 0)) {
        out += "**";
    } else if (o == Py_None || t == &PyBool_Type || t == &PyFloat_Type || t == &PyUnicode_Type ||
               t == &PyBytes_Type) {
        out += utf8(repr_of(o).get());
    } else if (t == &PyLong_Type) {
        // Hexadecimal: no digit limit applies to it.
        out += utf8(check(PyNumber_ToBase(o, 16)).get());
    } else if (t == &PyTuple_Type) {
        encode_items(o, '(', ')', out, depth);
    } else if (t == &PyList_Type) {
        encode_items(o, '[', ']', out, depth);
    } else if (t == &PyDict_Type) {
        Ref items = check(PyMapping_Items(o));  // a snapshot: encoding may run repr()
        out += '{';
        Py_ssize_t n = PyList_Size(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GetItem(items.get(), i);
            encode(PyTuple_GetItem(pair, 0), out, depth + 1);
            out += ':';
            encode(PyTuple_GetItem(pair, 1), out, depth + 1);
            out += ',';
        }
        out += '}';
    } else {
        encode_opaque(o, out);
    }
}

Ref shelf_key(PyObject* key) {
    if (is_exact_str(key)) return Ref::borrow(key);
    std::string text(1, kKeyMark);
    encode(key, text, 0);
    return str(text);
}

Ref shelf(PyObject* self) { return getattr(self, n__cache); }

void bump(PyObject* self, const Name& name) {
    Ref one = integer(1);
    Ref v = check(PyNumber_InPlaceAdd(getattr(self, name).get(), one.get()));
    setattr(self, name, v.get());
}

// ==== the decorated function =================================================

class FileCall : public Callback {
public:
    FileCall(Ref cache, Ref func) : cache_(std::move(cache)), func_(std::move(func)) {}

    Ref call(PyObject* args, PyObject* kwargs) override {
        PyObject* self = cache_.get();
        Ref key = make_key_is_own()
                      ? store_key(args, kwargs)
                      : cu::call(module::global(n__make_key).get(), args,
                                 fresh_kwargs(kwargs).get());
        Ref result = call_method(self, n_get, key.get());
        if (result.get() != Py_None) {
            Ref text = readable_key(args, kwargs);
            Ref info = call_method(self, n_cache_info);
            CU_LOG(debug, "FileCache cache hit, key=(%s) cache_info=%s", text.get(), info.get());
            return result;
        }
        Ref value = call_args(func_.get(), args, kwargs);
        if (value.get() == Py_None) return value;
        call_method(self, n_put, key.get(), value.get());
        return value;
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(cache_.get());
        Py_VISIT(func_.get());
        return 0;
    }

private:
    // _make_key(args, kwargs, hash=str)
    static Ref readable_key(PyObject* args, PyObject* kwargs) {
        Ref str_type = module::global(n_str);
        if (make_key_is_own()) return make_key(args, kwargs, nullptr, nullptr, str_type.get());
        Ref kw = dict();
        set_item(kw.get(), n_hash, str_type.get());
        Ref pos = tuple(args, fresh_kwargs(kwargs).get());
        return call_args(module::global(n__make_key).get(), pos.get(), kw.get());
    }

    Ref cache_, func_;
};

// ==== methods ================================================================

Keep g_file_cache;

const Name init_names[] = {Name("filename")};
const Params init_params{"__init__", init_names, 1, 1, true};

Ref file_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* filename;
    Ref rest, options;
    bind_var(init_params, args, kwargs, &filename, &rest, &options);
    if (PyTuple_Size(rest.get()))
        raisef(PyExc_TypeError, "__init__() takes 2 positional arguments but %zd were given",
               PyTuple_Size(args) + 1);
    Ref keep_filename = Ref::borrow(filename);
    Ref parent = call((PyObject*)&PySuper_Type, g_file_cache.get(), self);
    call_method(parent.get(), n___init__);
    Ref zero = integer(0);
    setattr(self, n_hits, zero.get());
    setattr(self, n_misses, zero.get());
    Ref open = getattr(module::global(n_shelve).get(), n_open);
    Ref pos = tuple(keep_filename.get());
    setattr(self, n__cache, call_args(open.get(), pos.get(), options.get()).get());
    return none();
}

// Closes the shelf whenever it is open; an empty shelf tests false, and
// waiting for it to close itself would keep the file open meanwhile.
Ref file_close(PyObject* self) {
    Ref store = getattr_opt(self, n__cache);  // absent when __init__ failed early
    if (store && store.get() != Py_None) {
        call_method(store.get(), n_close);
        setattr(self, n__cache, Py_None);
    }
    return none();
}

const Name call_names[] = {Name("user_function")};
const Params call_params{"__call__", call_names, 1, 1, true};

Ref file_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* func;
    bind(call_params, args, kwargs, &func);
    return decorate(self, func, std::make_unique<FileCall>(Ref::borrow(self), Ref::borrow(func)),
                    "FileCache.__call__.<locals>.decorating_function");
}

const Name key_names[] = {Name("key")};
const Params get_params{"get", key_names, 1, 1, true};

Ref file_get(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* key;
    bind(get_params, args, kwargs, &key);
    Ref text = shelf_key(key);
    Ref store = shelf(self);
    if (!check_int(PySequence_Contains(store.get(), text.get()))) {
        bump(self, n_misses);
        return none();
    }
    bump(self, n_hits);
    return get_item(shelf(self).get(), text.get());
}

const Name put_names[] = {Name("key"), Name("value")};
const Params put_params{"put", put_names, 2, 2, true};

Ref file_put(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    bind(put_params, args, kwargs, a);
    Ref text = shelf_key(a[0]);
    check_int(PyObject_SetItem(shelf(self).get(), text.get(), a[1]));
    return none();
}

Ref file_cache_info(PyObject* self) {
    Ref hits = getattr(self, n_hits), misses = getattr(self, n_misses);
    Ref size = check(PyLong_FromSsize_t(length(shelf(self).get())));
    Ref zero = integer(0);
    return cache_info(hits.get(), misses.get(), zero.get(), size.get());
}

PyMethodDef file_methods[] = {
    CU_VARARGS("__init__", file_init, "__init__($self, /, filename, **kwargs)\n--\n\n"),
    CU_NOARGS("__del__", file_close, "__del__($self, /)\n--\n\n"),
    CU_NOARGS("close", file_close,
              "close($self, /)\n--\n\n"
              "Closes the shelf file; the cache can no longer be used."),
    CU_VARARGS("__call__", file_call,
               "__call__($self, /, user_function)\n--\n\n"
               "Wraps user_function so that its results are kept in the shelf file."),
    CU_VARARGS("get", file_get,
               "get($self, /, key)\n--\n\n"
               "The stored value for key, or None."),
    CU_VARARGS("put", file_put,
               "put($self, /, key, value)\n--\n\n"
               "Stores value under key in the shelf."),
    CU_NOARGS("cache_info", file_cache_info,
              "cache_info($self, /)\n--\n\n"
              "CacheInfo(hits, misses, 0, number of entries in the shelf)."),
    CU_END,
};

Ref make_file_cache() {
    Ref bases = tuple((PyObject*)&PyBaseObject_Type);
    Ref cls = make_class("FileCache", bases.get(), file_methods,
                         "A memoising decorator keeping its results in a shelf file "
                         "(shelve.open(filename, **kwargs)).");
    g_file_cache.set(cls);
    return cls;
}

}  // namespace

CU_DEFINITION("FileCache", make_file_cache);

}  // namespace cu::cache
