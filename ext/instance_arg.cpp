#include "instance_arg.hpp"

#include <algorithm>
#include <string>

namespace drel::py {
namespace {

std::string type_name(PyTypeObject* type, bool qualified) {
  Ref name = Ref::steal(qualified ? PyType_GetQualName(type) : PyType_GetName(type));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

}  // namespace

std::string class_itself_note(PyObject* o, bool taken_class) {
  if (!taken_class || !PyType_Check(o)) return "";
  return " (the class " + type_name(reinterpret_cast<PyTypeObject*>(o), false) +
         " itself: pass an instance of it)";
}

void raise_not_accepted(const ArgSpec& spec, std::size_t param, PyObject* o,
                        std::initializer_list<PyTypeObject*> accepted) {
  std::string list;
  std::size_t i = 0;
  for (PyTypeObject* type : accepted) {
    if (i > 0) list += i + 1 == accepted.size() ? " or " : ", ";
    list += type_name(type, false);
    ++i;
  }
  const std::string given = o == Py_None ? "None" : type_name(Py_TYPE(o), true);
  const bool taken_class = std::ranges::find(accepted, reinterpret_cast<PyTypeObject*>(o)) !=
                           accepted.end();
  PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not '%s'%s", spec.full_name,
               spec.names[param], list.c_str(), given.c_str(), class_itself_note(o, taken_class).c_str());
}

}  // namespace drel::py
