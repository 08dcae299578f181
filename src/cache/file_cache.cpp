// FileCache: a memoising decorator whose results live in a shelf file, so
// that later runs opening the same file find them again.
#include "cache.hpp"
#include "../bridge/args.hpp"
#include "../bridge/closure.hpp"
#include "../bridge/entry.hpp"
#include "../logging/log.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace cu::cache {

namespace {

const Name n__cache("_cache"), n_shelve("shelve"), n_open("open"), n_close("close"),
    n___init__("__init__"), n_hash("hash"),
    n_str("str"), n_FileCache("FileCache"), n___module__("__module__"),
    n___qualname__("__qualname__"), n__file_lock("_file_lock"), n_os("os"), n_fspath("fspath"),
    n_fcntl("fcntl"), n_flock("flock"),
    n_atexit("atexit"), n_register("register"), n_unregister("unregister"), n_sync("sync"),
    n_dict("dict"), n__modified("_modified"), n_flag("flag");

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

// ==== one file, several processes ============================================
//
// Processes open, store into and close one shelf file in turn, under an
// exclusive advisory lock on a file beside it (`<filename>.lock`); lookups
// take it shared, and only when a store may overlap them (see
// try_unlocked).  Opening under the lock means that no process finds a file
// that another one has created but not yet written.  The lock file also
// holds a generation number that every store raises; a process whose shelf
// was opened at an older generation reopens it before using it, since a dbm
// may hold part of the file in memory (dbm.dumb keeps its whole index there
// and would neither see the other processes' entries nor find the current
// place of a value rewritten in place).
//
// dbm.dumb writes its in-memory index back on close whenever it was changed,
// which would overwrite the entries other processes added since.  A key it
// stores for the first time is appended to its index file at once, so after
// such a store the shelf holds nothing the file lacks: it is marked unchanged
// again, and its close writes nothing.  A store that replaces a value is
// followed by a sync, since the index file still holds the old value's place.
// The index file is thus rewritten only when a file is made or a value
// replaced, never on the way out, and a process killed while storing new
// keys leaves every entry it had finished storing readable.

constexpr const char* kLockName = "common_utils.FileCache._file_lock";

struct SharedFile {
    Ref fd;                          // the lock file's descriptor, null when there is none
    int raw = -1;                    // the same descriptor, for the generation
    std::uint64_t seen = 0;          // generation the shelf was opened at
    unsigned forks = 0;              // fork count when fd was opened
    bool inherited = false;          // the shelf is a forked parent's: reopen it
    Ref lock_path, filename, options, exit_hook;
};

// Forks of this process so far, counted in the child: a child that finds an
// open lock file from before the fork takes a descriptor of its own, since
// the inherited one shares its lock with the parent.
unsigned g_forks = 0;
void count_fork() noexcept { ++g_forks; }
const bool g_fork_counted = pthread_atfork(nullptr, nullptr, count_fork) == 0;

void drop_shared(PyObject* capsule) noexcept {
    delete static_cast<SharedFile*>(PyCapsule_GetPointer(capsule, kLockName));
}

SharedFile* shared(PyObject* self) {
    Ref capsule = getattr_opt(self, n__file_lock);
    if (!capsule || !PyCapsule_IsValid(capsule.get(), kLockName)) return nullptr;
    return static_cast<SharedFile*>(PyCapsule_GetPointer(capsule.get(), kLockName));
}

Ref os_call(const Name& name, PyObject* a, PyObject* b = nullptr, PyObject* c = nullptr) {
    Ref fn = getattr(module::global(n_os).get(), name);
    return c ? call(fn.get(), a, b, c) : b ? call(fn.get(), a, b) : call(fn.get(), a);
}

Ref library(const Name& name) {
    if (PyObject* mod = PyImport_GetModule(name)) return Ref::steal(mod);
    if (PyErr_Occurred()) throw_error();
    return check(PyImport_Import(name));
}

void flock(SharedFile& sf, int operation) {
    Ref op = integer(operation);
    call(getattr(library(n_fcntl).get(), n_flock).get(), sf.fd.get(), op.get());
}

// Leaves the lock whatever happens; an error while leaving it is dropped
// when another one is already on its way out.
void unlock_quietly(SharedFile& sf) noexcept {
    try {
        flock(sf, LOCK_UN);
    } catch (Error&) {
    }
}

// The generation is the lock file's first 8 bytes, raised under the lock and
// read with one pread (not a mapping: a lock file truncated by hand would make
// a mapped read fault).  A short read gives a generation that no shelf was
// opened at, so the caller takes the locked path and reopens.
std::uint64_t read_generation(SharedFile& sf) noexcept {
    std::uint64_t generation = 0;
    if (pread(sf.raw, &generation, sizeof generation, 0) != (ssize_t)sizeof generation)
        return ~std::uint64_t(0);
    return generation;
}

void write_generation(SharedFile& sf, std::uint64_t generation) noexcept {
    if (pwrite(sf.raw, &generation, sizeof generation, 0) != (ssize_t)sizeof generation) {
        // The next read is short or stale; a locked lookup then reopens.
    }
}

// Opens and maps the lock file; a path that cannot have one beside it (an
// unusual file name, a read-only directory) leaves the shelf unlocked, as it
// was before, and shelve.open reports whatever is wrong with the name itself.
void open_lock(SharedFile& sf) {
    sf.fd = nullptr;
    sf.raw = -1;
    sf.forks = g_forks;
    if (!sf.lock_path) return;
    Ref flags = integer(O_RDWR | O_CREAT | O_CLOEXEC), mode = integer(0666);
    try {
        sf.fd = os_call(n_open, sf.lock_path.get(), flags.get(), mode.get());
    } catch (Error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return;
    }
    int fd = (int)as_long(sf.fd.get());
    // Growing the file to 8 bytes keeps whatever another process wrote there.
    // (The size comes from lseek, not fstat: glibc 2.33 gave fstat a symbol of
    // its own, which would raise the wheel's manylinux floor for no gain.)
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || (size < 8 && ftruncate(fd, 8) != 0)) {
        os_call(n_close, sf.fd.get());
        sf.fd = nullptr;
        return;
    }
    sf.raw = fd;
}

void close_lock(SharedFile& sf) {
    sf.raw = -1;
    if (Ref fd = std::move(sf.fd)) os_call(n_close, fd.get());
}

Ref lock_path_of(PyObject* filename) {
    try {
        Ref path = os_call(n_fspath, filename);
        Ref suffix = PyBytes_Check(path.get()) ? check(PyBytes_FromString(".lock")) : str(".lock");
        return check(PyNumber_Add(path.get(), suffix.get()));
    } catch (Error& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        return nullptr;
    }
}

// The dbm of a shelf that marks itself changed (dbm.dumb), or null.
Ref change_marking(PyObject* store) {
    Ref db = getattr_opt(store, n_dict);
    return db && hasattr(db.get(), n__modified) ? db : nullptr;
}

// After a store, the shelf's files hold every entry it knows: for dbm.dumb,
// a key stored for the first time is already in its index file, and a
// replaced value's new place reaches it by a sync; any other dbm syncs.  A
// dbm.dumb shelf is then marked unchanged, so that closing it writes nothing.
void settle(PyObject* store, bool replaced) {
    Ref db = change_marking(store);
    if (replaced || !db) call_method(store, n_sync);
    if (db) setattr(db.get(), n__modified, Py_False);
}

// The `flag` option when it asks for a new, empty file ("n..."), else null.
PyObject* truncating_flag(PyObject* options) {
    PyObject* flag = dict_get(options, n_flag);
    bool truncates = flag && is_exact_str(flag) && PyUnicode_GetLength(flag) > 0 &&
                     PyUnicode_ReadChar(flag, 0) == 'n';
    return truncates ? flag : nullptr;
}

// shelve.open(filename, **options); a reopening never truncates again.
Ref open_store(SharedFile& sf, bool first) {
    Ref options = check(PyDict_Copy(sf.options.get()));
    if (!first) {
        if (PyObject* flag = truncating_flag(options.get())) {
            Ref rest = check(PyUnicode_Substring(flag, 1, PyUnicode_GetLength(flag)));
            Ref created = check(PyUnicode_FromFormat("c%U", rest.get()));
            set_item(options.get(), n_flag, created.get());
        }
    }
    Ref open = getattr(module::global(n_shelve).get(), n_open);
    Ref pos = tuple(sf.filename.get());
    return call_args(open.get(), pos.get(), options.get());
}

// Opens the shelf (under the exclusive lock): a file made or emptied just now
// is written out whole before any other process may open it.
Ref open_settled(SharedFile& sf, bool& made) {
    Ref store = open_store(sf, true);
    made = length(store.get()) == 0;
    settle(store.get(), made);
    return store;
}

// Reopens the shelf of a file that exists: nothing needs writing out, and a
// dbm.dumb index just read holds nothing the file lacks.
void reopen(PyObject* self, SharedFile& sf) {
    Ref old = getattr(self, n__cache);
    if (old.get() == Py_None) return;  // closed: the caller meets None as before
    call_method(old.get(), n_close);
    setattr(self, n__cache, Py_None);
    Ref store = open_store(sf, false);
    if (Ref db = change_marking(store.get())) setattr(db.get(), n__modified, Py_False);
    setattr(self, n__cache, store.get());
}

// read: a lookup with no side effect, which may be redone; write: a store;
// close: closing the shelf, which is not reopened first.
enum class Access { read, write, close };

// A store raises the generation when it begins and again when it ends, so a
// lookup that finds the same generation before and after itself, equal to
// the one its shelf was opened at, overlapped no store and read what it
// would have read under the lock: such lookups take no lock at all.
bool try_unlocked(SharedFile& sf) noexcept {
    return sf.forks == g_forks && !sf.inherited && read_generation(sf) == sf.seen;
}

// Runs `op` under the lock, the shelf first reopened when another process
// stored since this one last held it (or when this is a forked child).
template <class Op>
Ref locked(PyObject* self, Access access, Op&& op) {
    SharedFile* sf = shared(self);
    if (!sf || !sf->fd) return op();
    if (access == Access::read && try_unlocked(*sf)) {
        std::uint64_t before = sf->seen;
        try {
            Ref result = op();
            if (read_generation(*sf) == before) return result;
        } catch (Error&) {
            if (read_generation(*sf) == before) throw;
        }
    }
    if (sf->forks != g_forks) {  // the inherited descriptor shares the parent's lock
        Ref parents = std::move(sf->fd);
        sf->inherited = true;
        os_call(n_close, parents.get());
        open_lock(*sf);
        if (!sf->fd) return op();
    }
    bool stores = access != Access::read;
    flock(*sf, stores ? LOCK_EX : LOCK_SH);
    std::uint64_t generation = read_generation(*sf);
    if (stores) write_generation(*sf, generation + 1);
    try {
        if ((generation != sf->seen || sf->inherited) && access != Access::close) {
            if (access == Access::read) {
                flock(*sf, LOCK_EX);  // closing and opening a shelf may write
                generation = read_generation(*sf);
            }
            reopen(self, *sf);
            sf->seen = generation;
            sf->inherited = false;
        }
        Ref result = op();
        if (stores) write_generation(*sf, sf->seen = generation + 2);
        flock(*sf, LOCK_UN);
        return result;
    } catch (...) {
        if (stores) write_generation(*sf, generation + 2);  // and this one rereads too
        unlock_quietly(*sf);
        throw;
    }
}

// ==== closing at exit ========================================================
//
// Registered with atexit for each open cache, through a weak reference so
// that the registration does not keep the cache alive: the exit functions run
// before the interpreter tears down the modules that closing needs.

class CloseAtExit : public Callback {
public:
    explicit CloseAtExit(Ref cache_ref) : cache_ref_(std::move(cache_ref)) {}

    Ref call(PyObject*, PyObject*) override {
        Ref cache = cu::call(cache_ref_.get());
        if (cache.get() != Py_None) call_method(cache.get(), n_close);
        return none();
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(cache_ref_.get());
        return 0;
    }

private:
    Ref cache_ref_;
};

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
        return call_kw(module::global(n__make_key).get(), {args, fresh_kwargs(kwargs).get()},
                       {{n_hash, str_type.get()}});
    }

    Ref cache_, func_;
};

// ==== methods ================================================================

Keep g_file_cache;

const Signature init_params{"__init__", {"filename"}, 1, true};

Ref file_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref rest, options;
    Bound<1> a(init_params, args, kwargs, &rest, &options);
    PyObject* filename = a[0];
    if (PyTuple_Size(rest.get()))
        raisef(PyExc_TypeError, "__init__() takes 2 positional arguments but %zd were given",
               PyTuple_Size(args) + 1);
    call_super(g_file_cache.get(), self, n___init__);
    Ref zero = integer(0);
    setattr(self, n_hits, zero.get());
    setattr(self, n_misses, zero.get());

    auto owned = std::make_unique<SharedFile>();
    SharedFile& sf = *owned;
    sf.filename = Ref::borrow(filename);
    sf.options = options ? options : dict();
    sf.lock_path = lock_path_of(filename);
    Ref capsule = check(PyCapsule_New(owned.get(), kLockName, drop_shared));
    owned.release();
    setattr(self, n__file_lock, capsule.get());
    open_lock(sf);

    std::uint64_t generation = 0;
    if (sf.fd) {
        flock(sf, LOCK_EX);
        generation = read_generation(sf);
        // Emptying the file is a store that other processes' lookups must not overlap.
        if (truncating_flag(sf.options.get())) write_generation(sf, generation + 1);
    }
    try {
        bool made;
        Ref store = open_settled(sf, made);
        setattr(self, n__cache, store.get());
        if (sf.fd) {
            if (made) write_generation(sf, generation += 2);  // the others reread it
            sf.seen = read_generation(sf);
            flock(sf, LOCK_UN);
        }
    } catch (...) {
        if (sf.fd) {
            unlock_quietly(sf);
            close_lock(sf);
        }
        throw;
    }

    Ref cache_ref = check(PyWeakref_NewRef(self, nullptr));
    sf.exit_hook = make_closure(std::make_unique<CloseAtExit>(std::move(cache_ref)),
                                "close_at_exit", "FileCache.close_at_exit");
    call_method(library(n_atexit).get(), n_register, sf.exit_hook.get());
    return none();
}

// Closes the shelf whenever it is open; an empty shelf tests false, and
// waiting for it to close itself would keep the file open meanwhile.
Ref file_close(PyObject* self) {
    SharedFile* sf = shared(self);
    Ref store = getattr_opt(self, n__cache);  // absent when __init__ failed early
    if (store && store.get() != Py_None) {
        locked(self, Access::close, [&] {
            call_method(store.get(), n_close);
            setattr(self, n__cache, Py_None);
            return none();
        });
    }
    if (sf) {
        if (sf->fd) close_lock(*sf);
        if (Ref hook = std::move(sf->exit_hook))
            call_method(library(n_atexit).get(), n_unregister, hook.get());
    }
    return none();
}

const Signature call_params{"__call__", {"user_function"}, 1, true};

Ref file_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(call_params, args, kwargs);
    PyObject* func = a[0];
    return decorate(self, func, std::make_unique<FileCall>(Ref::borrow(self), Ref::borrow(func)),
                    "FileCache.__call__.<locals>.decorating_function");
}

const Signature get_params{"get", {"key"}, 1, true};

Ref file_get(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<1> a(get_params, args, kwargs);
    Ref text = shelf_key(a[0]);
    bool present = false;
    Ref value;
    try {
        value = locked(self, Access::read, [&] {
            present = false;
            Ref store = shelf(self);
            present = check_int(PySequence_Contains(store.get(), text.get()));
            return present ? get_item(shelf(self).get(), text.get()) : none();
        });
    } catch (Error&) {
        if (present) bump(self, n_hits);  // the entry was there, but not readable
        throw;
    }
    bump(self, present ? n_hits : n_misses);
    return value;
}

const Signature put_params{"put", {"key", "value"}, 2, true};

Ref file_put(PyObject* self, PyObject* args, PyObject* kwargs) {
    Bound<2> a(put_params, args, kwargs);
    Ref text = shelf_key(a[0]);
    return locked(self, Access::write, [&] {
        Ref store = shelf(self);
        bool replaces = check_int(PySequence_Contains(store.get(), text.get()));
        check_int(PyObject_SetItem(store.get(), text.get(), a[1]));
        settle(store.get(), replaces);
        return none();
    });
}

Ref file_cache_info(PyObject* self) {
    Ref hits = getattr(self, n_hits), misses = getattr(self, n_misses);
    Ref size = locked(self, Access::read,
                      [&] { return check(PyLong_FromSsize_t(length(shelf(self).get()))); });
    Ref zero = integer(0);
    return cache_info(hits.get(), misses.get(), zero.get(), size.get());
}

PyMethodDef file_methods[] = {
    CU_VARARGS_SIG("__init__", file_init, "($self, /, filename, **kwargs)", ""),
    CU_NOARGS_SIG("__del__", file_close, "($self, /)", ""),
    CU_NOARGS_SIG("close", file_close, "($self, /)",
                  "Closes the shelf file; the cache can no longer be used."),
    CU_VARARGS_SIG("__call__", file_call, "($self, /, user_function)",
                   "Wraps user_function so that its results are kept in the shelf file."),
    CU_VARARGS_SIG("get", file_get, "($self, /, key)", "The stored value for key, or None."),
    CU_VARARGS_SIG("put", file_put, "($self, /, key, value)",
                   "Stores value under key in the shelf."),
    CU_NOARGS_SIG("cache_info", file_cache_info, "($self, /)",
                  "CacheInfo(hits, misses, 0, number of entries in the shelf)."),
    CU_END,
};

Ref make_file_cache() {
    return make_subclass("FileCache", (PyObject*)&PyBaseObject_Type, file_methods,
                         "A memoising decorator keeping its results in a shelf file "
                         "(shelve.open(filename, **kwargs)).",
                         &g_file_cache);
}

}  // namespace

CU_DEFINITION("FileCache", make_file_cache);

}  // namespace cu::cache
