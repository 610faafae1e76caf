/* The floor of a replay's Python work: per book, exactly the objects that pelarune's replay of
 * the same file creates and frees, made as cheaply as the interpreter allows, and nothing else.
 *
 * bench_floor.py records, from a real replay, which objects each book creates (by identity
 * against the previous book) and passes the plan here:
 *
 *   run(plan, definitions, sizes) -> number of books built
 *
 * plan is an array('q'): for each book, its publish time in milliseconds, its runner count, the
 * index of a new definition in `definitions` or -1 when the previous one stays, then per runner
 * its cache slot, 1 when the Runner is new, and for the atb, atl and trd lists -1 when the list
 * stays or the length of the new list. definitions holds, per new definition, its runner count
 * and its four time texts (None when absent). sizes gives the instance size of each class, so
 * every allocation lands in the same size class as pelarune's.
 *
 * Objects hold their children as pelarune's do (book -> runner list, definition, publish time;
 * runner -> status str, ExchangePrices -> three lists; definition -> runner list, datetimes), so
 * dropping a book frees what pelarune frees. utcfromtimestamp and strptime are called through
 * methods bound once.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

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

static PyObject *run(PyObject *module, PyObject *args) {
  (void)module;
  PyObject *plan_object, *definitions, *sizes;
  if (!PyArg_ParseTuple(args, "OO!O!", &plan_object, &PyList_Type, &definitions, &PyTuple_Type,
                        &sizes))
    return NULL;
  if (make_types(sizes) < 0)
    return NULL;
  Py_buffer view;
  if (PyObject_GetBuffer(plan_object, &view, PyBUF_SIMPLE) < 0)
    return NULL;
  const int64_t *plan = view.buf;
  const int64_t *end = plan + view.len / (Py_ssize_t)sizeof(int64_t);

  PyObject *result = NULL, *book = NULL, *definition = Py_NewRef(Py_None);
  PyObject *datetime_class = NULL, *utcfromtimestamp = NULL, *strptime = NULL;
  PyObject *formats[2] = {PyUnicode_InternFromString("%Y-%m-%dT%H:%M:%S.%fZ"),
                          PyUnicode_InternFromString("%Y-%m-%dT%H:%M:%SZ")};
  PyObject *datetime = PyImport_ImportModule("datetime");
  if (datetime != NULL)
    datetime_class = PyObject_GetAttrString(datetime, "datetime");
  if (datetime_class != NULL) {
    utcfromtimestamp = PyObject_GetAttrString(datetime_class, "utcfromtimestamp");
    strptime = PyObject_GetAttrString(datetime_class, "strptime");
  }
  /* Per cache slot: the Runner and its three lists, as the market state caches them. */
  Py_ssize_t slots = 0;
  for (const int64_t *p = plan; p < end;) {
    Py_ssize_t runners = (Py_ssize_t)p[1];
    for (Py_ssize_t i = 0; i < runners; ++i)
      if (p[3 + 5 * i] >= slots)
        slots = (Py_ssize_t)p[3 + 5 * i] + 1;
    p += 3 + 5 * runners;
  }
  PyObject **cache = PyMem_Calloc((size_t)(slots * 4 + 1), sizeof(PyObject *));
  if (!utcfromtimestamp || !strptime || !formats[0] || !formats[1] || !cache)
    goto done;

  long books = 0;
  for (const int64_t *p = plan; p < end; ++books) {
    int64_t epoch_ms = p[0], definition_index = p[2];
    Py_ssize_t runners = (Py_ssize_t)p[1];
    const int64_t *runner = p + 3;
    p += 3 + 5 * runners;
    PyObject *runner_list = PyList_New(runners);
    if (runner_list == NULL)
      goto done;
    for (Py_ssize_t i = 0; i < runners; ++i, runner += 5) {
      PyObject **slot = cache + 4 * runner[0];
      if (runner[1]) {
        for (int k = 0; k < 3; ++k) {
          if (runner[2 + k] < 0)
            continue;
          PyObject *list = price_size_list(runner[2 + k]);
          if (list == NULL) {
            Py_DECREF(runner_list);
            goto done;
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
      PyObject *entry = PyList_GET_ITEM(definitions, (Py_ssize_t)definition_index);
      PyObject *made = make_definition(entry, strptime, formats);
      if (made == NULL) {
        Py_DECREF(runner_list);
        goto done;
      }
      Py_SETREF(definition, made);
    }
    PyObject *seconds = PyFloat_FromDouble((double)epoch_ms / 1000.0);
    PyObject *publish_time = PyObject_Vectorcall(utcfromtimestamp, &seconds, 1, NULL);
    Py_DECREF(seconds);
    if (publish_time == NULL) {
      Py_DECREF(runner_list);
      goto done;
    }
    PyObject *book_children[MAX_CHILDREN] = {runner_list, Py_NewRef(definition), publish_time};
    Py_XSETREF(book, node(BOOK, book_children)); /* the previous book is dropped here */
  }
  result = PyLong_FromLong(books);
done:
  PyBuffer_Release(&view);
  Py_XDECREF(book);
  Py_XDECREF(definition);
  if (cache != NULL) {
    for (Py_ssize_t i = 0; i < slots * 4; ++i)
      Py_XDECREF(cache[i]);
    PyMem_Free(cache);
  }
  Py_XDECREF(datetime);
  Py_XDECREF(datetime_class);
  Py_XDECREF(utcfromtimestamp);
  Py_XDECREF(strptime);
  Py_XDECREF(formats[0]);
  Py_XDECREF(formats[1]);
  return result;
}

static PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(plan, definitions, sizes): build every book of the plan"},
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
