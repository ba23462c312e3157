#include "text_functions.h"

#include <atomic>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "conversions.h"
#include "heap_type.h"
#include "number_spelling.h"
#include "py_ref.h"
#include "word_segments.h"

namespace vurel::python {
namespace {

// Below this many bytes, releasing the GIL costs more than segmenting.
constexpr Py_ssize_t kReleaseGilFrom = 4096;

// The UTF-8 form of a str argument named `name`; nullopt with an exception
// set when it is not a str or holds a lone surrogate.
std::optional<std::string_view> ReadText(PyObject *object, const char *name) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", name, Py_TYPE(object)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char *utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

PyObject *WordSegments(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"text", nullptr};
  PyObject *text_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:word_segments", const_cast<char **>(keywords),
                                   &text_object))
    return nullptr;
  const std::optional<std::string_view> utf8 = ReadText(text_object, "text");
  if (!utf8) return nullptr;
  std::optional<Result<std::vector<text::WordSegment>>> split;
  // The UTF-8 belongs to the str, which the arguments keep alive.
  const auto run = [&] {
    try {
      split.emplace(text::SplitWords(*utf8));
    } catch (const std::bad_alloc &) {
    }
  };
  if (static_cast<Py_ssize_t>(utf8->size()) < kReleaseGilFrom) {
    run();
  } else {
    Py_BEGIN_ALLOW_THREADS
    run();
    Py_END_ALLOW_THREADS
  }
  if (!split) return PyErr_NoMemory();
  if (!split->ok()) return RaiseError(split->error());
  const std::vector<text::WordSegment> &segments = split->value();
  PyRef list = PyRef::Steal(PyList_New(static_cast<Py_ssize_t>(segments.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    PyRef item = PyRef::Steal(PyTuple_New(3));
    if (!item) return nullptr;
    PyObject *start = PyLong_FromSize_t(segments[i].start);
    PyTuple_SET_ITEM(item.get(), 0, start);
    PyObject *end = start ? PyLong_FromSize_t(segments[i].end) : nullptr;
    PyTuple_SET_ITEM(item.get(), 1, end);
    PyObject *kind = end ? PyLong_FromLong(static_cast<long>(segments[i].kind)) : nullptr;
    PyTuple_SET_ITEM(item.get(), 2, kind);
    if (kind == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}

PyMethodDef text_methods[] = {
    {"word_segments", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(WordSegments)),
     METH_VARARGS | METH_KEYWORDS,
     "word_segments(text)\n--\n\n"
     "The segments of `text` by the Unicode word-boundary rules, in order, as\n"
     "(start, end, kind): code-point offsets and a SEGMENT_* kind. The GIL is\n"
     "released while long text is split."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- NumberSpeller ----

struct PyNumberSpeller {
  PyObject_HEAD
  text::NumberSpeller *speller;  // owned; shared by threads (it locks itself)
  PyObject *rule_sets;           // tuple of str, made once
  PyObject *language;            // str
};

PyNumberSpeller &SpellerOf(PyObject *self) { return *reinterpret_cast<PyNumberSpeller *>(self); }

std::atomic<PyObject *> speller_type{nullptr};
PyType_Spec speller_spec{};

PyObject *SpellerNew(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"language", nullptr};
  PyObject *language_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:NumberSpeller", const_cast<char **>(keywords),
                                   &language_object))
    return nullptr;
  const std::optional<std::string_view> language = ReadText(language_object, "language");
  if (!language) return nullptr;
  std::optional<Result<text::NumberSpeller>> made;
  try {
    made.emplace(text::NumberSpeller::Create(*language));
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (!made->ok()) return RaiseError(made->error());
  PyRef rule_sets = PyRef::Steal(NewTextTuple((*made)->rule_sets()));
  PyRef language_text = rule_sets ? PyRef::Steal(NewText((*made)->language())) : PyRef();
  if (!language_text) return nullptr;
  PyRef self = PyRef::Steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  PyNumberSpeller &speller = SpellerOf(self.get());
  try {
    speller.speller = new text::NumberSpeller(std::move(*made).value());
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  speller.rule_sets = rule_sets.release();
  speller.language = language_text.release();
  return self.release();
}

void SpellerDealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  PyNumberSpeller &speller = SpellerOf(self);
  delete speller.speller;
  Py_XDECREF(speller.rule_sets);
  Py_XDECREF(speller.language);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject *SpellerSpell(PyObject *self, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"number", "rule_set", nullptr};
  PyObject *number_object = nullptr;
  PyObject *rule_set_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:spell", const_cast<char **>(keywords),
                                   &number_object, &rule_set_object))
    return nullptr;
  const std::optional<std::string_view> number = ReadText(number_object, "number");
  if (!number) return nullptr;
  std::optional<std::string_view> rule_set("%spellout-numbering");
  if (rule_set_object != nullptr) rule_set = ReadText(rule_set_object, "rule_set");
  if (!rule_set) return nullptr;
  // Held with the GIL: a spelling takes microseconds, far less than a
  // release and re-acquire would let other threads do.
  std::optional<Result<std::string>> spelled;
  try {
    spelled.emplace(SpellerOf(self).speller->Spell(*number, *rule_set));
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
  if (!spelled->ok()) return RaiseError(spelled->error());
  return NewText(spelled->value());
}

PyObject *SpellerRuleSets(PyObject *self, void *) { return Py_NewRef(SpellerOf(self).rule_sets); }

PyObject *SpellerLanguage(PyObject *self, void *) { return Py_NewRef(SpellerOf(self).language); }

PyMethodDef speller_methods[] = {
    {"spell", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(SpellerSpell)),
     METH_VARARGS | METH_KEYWORDS,
     "spell($self, number, rule_set='%spellout-numbering')\n--\n\n"
     "`number`, an exact decimal such as '-1234.5', in words by the rule set:\n"
     "ICU's output, soft hyphens (U+00AD) kept between the parts of compounds.\n"
     "ValueError naming a malformed number or a rule set the language lacks."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef speller_getset[] = {
    {"rule_sets", SpellerRuleSets, nullptr,
     "The language's public rule sets, in ICU's order.", nullptr},
    {"language", SpellerLanguage, nullptr, "The language code the speller was made for.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot speller_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(SpellerDealloc)},
    {Py_tp_new, reinterpret_cast<void *>(SpellerNew)},
    {Py_tp_methods, speller_methods},
    {Py_tp_getset, speller_getset},
    {Py_tp_doc, const_cast<char *>(
                    "NumberSpeller(language)\n--\n\n"
                    "Numbers in words by CLDR's spell-out rules of `language` (e.g. 'en'),\n"
                    "through ICU; ValueError naming the language when ICU has none. Threads\n"
                    "may share one.")},
    {0, nullptr},
};

}  // namespace

int AddTextFunctions(PyObject *module) {
  if (PyModule_AddFunctions(module, text_methods) < 0) return -1;
  static constexpr std::pair<const char *, text::SegmentKind> kinds[] = {
      {"SEGMENT_OTHER", text::SegmentKind::kOther},
      {"SEGMENT_NUMBER", text::SegmentKind::kNumber},
      {"SEGMENT_LETTER", text::SegmentKind::kLetter},
      {"SEGMENT_KANA", text::SegmentKind::kKana},
      {"SEGMENT_IDEOGRAPHIC", text::SegmentKind::kIdeographic},
  };
  for (const auto &[name, kind] : kinds) {
    if (PyModule_AddIntConstant(module, name, static_cast<long>(kind)) < 0) return -1;
  }
  speller_spec = {"vurel._native.NumberSpeller", sizeof(PyNumberSpeller), 0, Py_TPFLAGS_DEFAULT,
                  speller_slots};
  PyTypeObject *type = TypeFromSpecOnce(speller_type, speller_spec);
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, "NumberSpeller", reinterpret_cast<PyObject *>(type));
}

}  // namespace vurel::python
