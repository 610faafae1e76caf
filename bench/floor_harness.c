/* The floor of a replay's Python work: per book, exactly the objects that pelarune's replay of
 * the same file creates and frees, made as cheaply as the interpreter allows, and nothing else.
 *
 * bench_floor.py records, from a real replay, which objects each book creates (by identity
 * against the previous book) and passes the plan here:
 *
 *   books(plan, definitions, sizes) -> an iterator over the books, one per book of the replay
 *
 * plan is an array('q'): for each book, its publish time in milliseconds, its runner count, the
 * index of a new definition in `definitions` or -1 when the previous one stays, then per runner
 * its cache slot, 1 when the Runner is new, and for the atb, atl and trd lists -1 when the list
 * stays or the length of the new list. definitions holds, per new definition, its runner count
 * and its four time texts (None when absent). sizes gives the instance size of each class, so
 * every allocation lands in the same size class as pelarune's.
 *
 * Objects hold their children as pelarune's do (book -> runner list, definition, publish time;
 * runner -> status str, ExchangePrices -> three lists; definition -> runner list, datetimes), and
 * each book is handed to the caller's loop, so dropping a book frees what pelarune frees, when it
 * does. utcfromtimestamp and strptime are called through methods bound once.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <string.h>

enum { BOOK, RUNNER, EX, PRICE_SIZE, DEFINITION, DEFINITION_RUNNER, KINDS };
#define MAX_CHILDREN 5

typedef struct {
  PyObject_HEAD PyObject *children[MAX_CHILDREN];
} Node;

static PyTypeObject *node_types[KINDS];
static Py_ssize_t node_children[KINDS] = {3, 2, 3, 0, 5, 0};

static void node_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  Py_ssize_t kind = 0;
  while (node_types[kind] != type)
    ++kind;
  for (Py_ssize_t i = 0; i < node_children[kind]; ++i)
    Py_XDECREF(((Node *)self)->children[i]);
  PyObject_Free(self);
  Py_DECREF(type);
}

/* A new node of `kind` that takes (steals) its children. */
static PyObject *node(int kind, PyObject **children) {
  PyTypeObject *type = node_types[kind];
  PyObject *self = PyObject_Malloc((size_t)type->tp_basicsize);
  if (self == NULL)
    return PyErr_NoMemory();
  PyObject_Init(self, type);
  for (Py_ssize_t i = 0; i < node_children[kind]; ++i)
    ((Node *)self)->children[i] = children[i];
  return self;
}

static int make_types(PyObject *sizes) {
  static const char *names[KINDS] = {"floor.Book",       "floor.Runner",
                                     "floor.Ex",         "floor.PriceSize",
                                     "floor.Definition", "floor.DefinitionRunner"};
  for (int kind = 0; kind < KINDS; ++kind) {
    if (node_types[kind] != NULL)
      continue;
    Py_ssize_t size = PyLong_AsSsize_t(PyTuple_GetItem(sizes, kind));
    if (size < 0)
      return -1;
    Py_ssize_t least = (Py_ssize_t)(sizeof(PyObject) + sizeof(PyObject *) * node_children[kind]);
    if (size < least)
      size = least;
    PyType_Slot slots[] = {{Py_tp_dealloc, node_dealloc}, {0, NULL}};
    PyType_Spec spec = {names[kind], (int)size, 0, Py_TPFLAGS_DEFAULT, slots};
    node_types[kind] = (PyTypeObject *)PyType_FromSpec(&spec);
    if (node_types[kind] == NULL)
      return -1;
  }
  return 0;
}

static PyObject *price_size_list(int64_t length) {
  PyObject *list = PyList_New((Py_ssize_t)length);
  if (list == NULL)
    return NULL;
  for (Py_ssize_t i = 0; i < (Py_ssize_t)length; ++i) {
    PyObject *level = node(PRICE_SIZE, NULL);
    if (level == NULL) {
      Py_DECREF(list);
      return NULL;
    }
    PyList_SET_ITEM(list, i, level);
  }
  return list;
}

/* strptime with fractional seconds, then without, as the replay does. */
static PyObject *parse_time(PyObject *strptime, PyObject *text, PyObject **formats) {
  if (text == Py_None)
    return Py_NewRef(Py_None);
  PyObject *args[2] = {text, formats[0]};
  PyObject *parsed = PyObject_Vectorcall(strptime, args, 2, NULL);
  if (parsed != NULL)
    return parsed;
  PyErr_Clear();
  args[1] = formats[1];
  return PyObject_Vectorcall(strptime, args, 2, NULL);
}

static PyObject *make_definition(PyObject *entry, PyObject *strptime, PyObject **formats) {
  Py_ssize_t runners = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, 0));
  PyObject *children[MAX_CHILDREN] = {PyList_New(runners)};
  if (children[0] == NULL)
    return NULL;
  for (Py_ssize_t i = 0; i < runners; ++i) {
    PyObject *runner = node(DEFINITION_RUNNER, NULL);
    if (runner == NULL)
      goto failed;
    PyList_SET_ITEM(children[0], i, runner);
  }
  for (int i = 0; i < 4; ++i)
    if ((children[i + 1] = parse_time(strptime, PyTuple_GET_ITEM(entry, i + 1), formats)) == NULL)
      goto failed;
  return node(DEFINITION, children);
failed:
  for (int i = 0; i < MAX_CHILDREN; ++i)
    Py_XDECREF(children[i]);
  return NULL;
}

/* An iterator over the books of a plan, handing each book to Python as the replay does: the
 * caller's loop drops the previous book when it takes the next one. */
typedef struct {
  PyObject_HEAD Py_buffer view;
  const int64_t *at, *end;
  PyObject *definitions, *definition, *utcfromtimestamp, *strptime, *formats[2];
  PyObject **cache; /* per slot: the Runner and its three lists, as the market state caches them */
  Py_ssize_t slots;
} Books;

static void books_dealloc(PyObject *self) {
  Books *books = (Books *)self;
  PyTypeObject *type = Py_TYPE(self);
  if (books->view.obj != NULL)
    PyBuffer_Release(&books->view);
  if (books->cache != NULL) {
    for (Py_ssize_t i = 0; i < books->slots * 4; ++i)
      Py_XDECREF(books->cache[i]);
    PyMem_Free(books->cache);
  }
  Py_XDECREF(books->definitions);
  Py_XDECREF(books->definition);
  Py_XDECREF(books->utcfromtimestamp);
  Py_XDECREF(books->strptime);
  Py_XDECREF(books->formats[0]);
  Py_XDECREF(books->formats[1]);
  PyObject_Free(self);
  Py_DECREF(type);
}

static PyObject *books_next(PyObject *self) {
  Books *books = (Books *)self;
  if (books->at >= books->end)
    return NULL;
  const int64_t *p = books->at;
  int64_t epoch_ms = p[0], definition_index = p[2];
  Py_ssize_t runners = (Py_ssize_t)p[1];
  const int64_t *runner = p + 3;
  books->at += 3 + 5 * runners;
  PyObject *runner_list = PyList_New(runners);
  if (runner_list == NULL)
    return NULL;
  for (Py_ssize_t i = 0; i < runners; ++i, runner += 5) {
    PyObject **slot = books->cache + 4 * runner[0];
    if (runner[1]) {
      for (int k = 0; k < 3; ++k) {
        if (runner[2 + k] < 0)
          continue;
        PyObject *list = price_size_list(runner[2 + k]);
        if (list == NULL) {
          Py_DECREF(runner_list);
          return NULL;
        }
        Py_XSETREF(slot[1 + k], list);
      }
      PyObject *ex_children[MAX_CHILDREN] = {Py_NewRef(slot[1]), Py_NewRef(slot[2]),
                                             Py_NewRef(slot[3])};
      PyObject *runner_children[MAX_CHILDREN] = {node(EX, ex_children),
                                                 PyUnicode_FromStringAndSize("ACTIVE", 6)};
      Py_XSETREF(slot[0], node(RUNNER, runner_children));
    }
    PyList_SET_ITEM(runner_list, i, Py_NewRef(slot[0]));
  }
  if (definition_index >= 0) {
    PyObject *entry = PyList_GET_ITEM(books->definitions, (Py_ssize_t)definition_index);
    PyObject *made = make_definition(entry, books->strptime, books->formats);
    if (made == NULL) {
      Py_DECREF(runner_list);
      return NULL;
    }
    Py_SETREF(books->definition, made);
  }
  PyObject *seconds = PyFloat_FromDouble((double)epoch_ms / 1000.0);
  PyObject *publish_time = PyObject_Vectorcall(books->utcfromtimestamp, &seconds, 1, NULL);
  Py_DECREF(seconds);
  if (publish_time == NULL) {
    Py_DECREF(runner_list);
    return NULL;
  }
  PyObject *book_children[MAX_CHILDREN] = {runner_list, Py_NewRef(books->definition), publish_time};
  return node(BOOK, book_children);
}

static PyTypeObject *books_type;

static PyObject *books(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *plan, *definitions, *sizes;
  if (!PyArg_ParseTuple(args, "OO!O!", &plan, &PyList_Type, &definitions, &PyTuple_Type, &sizes))
    return NULL;
  if (make_types(sizes) < 0)
    return NULL;
  if (books_type == NULL) {
    PyType_Slot slots[] = {{Py_tp_dealloc, books_dealloc},
                           {Py_tp_iter, PyObject_SelfIter},
                           {Py_tp_iternext, books_next},
                           {0, NULL}};
    PyType_Spec spec = {"floor.Books", (int)sizeof(Books), 0, Py_TPFLAGS_DEFAULT, slots};
    if ((books_type = (PyTypeObject *)PyType_FromSpec(&spec)) == NULL)
      return NULL;
  }
  Books *self = PyObject_Malloc(sizeof(Books));
  if (self == NULL)
    return PyErr_NoMemory();
  memset((char *)self + sizeof(PyObject), 0, sizeof(Books) - sizeof(PyObject));
  PyObject_Init((PyObject *)self, books_type);
  self->definitions = Py_NewRef(definitions);
  self->definition = Py_NewRef(Py_None);
  self->formats[0] = PyUnicode_InternFromString("%Y-%m-%dT%H:%M:%S.%fZ");
  self->formats[1] = PyUnicode_InternFromString("%Y-%m-%dT%H:%M:%SZ");
  PyObject *datetime = PyImport_ImportModule("datetime");
  PyObject *datetime_class = datetime ? PyObject_GetAttrString(datetime, "datetime") : NULL;
  if (datetime_class != NULL) {
    self->utcfromtimestamp = PyObject_GetAttrString(datetime_class, "utcfromtimestamp");
    self->strptime = PyObject_GetAttrString(datetime_class, "strptime");
  }
  Py_XDECREF(datetime);
  Py_XDECREF(datetime_class);
  if (!self->utcfromtimestamp || !self->strptime || !self->formats[0] || !self->formats[1] ||
      PyObject_GetBuffer(plan, &self->view, PyBUF_SIMPLE) < 0) {
    Py_DECREF(self);
    return NULL;
  }
  self->at = self->view.buf;
  self->end = self->at + self->view.len / (Py_ssize_t)sizeof(int64_t);
  for (const int64_t *p = self->at; p < self->end;) {
    Py_ssize_t runners = (Py_ssize_t)p[1];
    for (Py_ssize_t i = 0; i < runners; ++i)
      if (p[3 + 5 * i] >= self->slots)
        self->slots = (Py_ssize_t)p[3 + 5 * i] + 1;
    p += 3 + 5 * runners;
  }
  if ((self->cache = PyMem_Calloc((size_t)(self->slots * 4 + 1), sizeof(PyObject *))) == NULL) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return (PyObject *)self;
}

static PyMethodDef methods[] = {
    {"books", books, METH_VARARGS, "books(plan, definitions, sizes): an iterator over the books"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "floor_harness",
    "The floor of a replay's Python work.",
    -1,
    methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_floor_harness(void) {
  return PyModule_Create(&module_def);
}
