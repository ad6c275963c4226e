cmake_minimum_required(VERSION 3.25)
# Fails unless the dynamic symbol table of LIBRARY holds exactly the public
# surface: the mirt classes with their special members, vtables and type
# information, getVersionInfo, createVarnel and the mirt_* functions.
execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(classes "Varnel|OstraDataStream|OstraDataPackage|VarnelException")
set(allowed
  "^(vtable|typeinfo|typeinfo name) for mirt::(${classes})$"
  "^mirt::(${classes})::(${classes})\\((mirt::(${classes}) const&)?\\)$"
  "^mirt::(${classes})::~(${classes})\\(\\)$"
  "^mirt::(${classes})::operator=\\(mirt::(${classes}) const&\\)$"
  "^mirt::getVersionInfo\\(\\)$"
  "^mirt::createVarnel\\(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, std::function<void \\(mirt::OstraDataStream\\*\\)>\\)$"
  "^mirt_[a-z_]+$"
  "^VARNEL_1$")
set(bad "")
set(seen "")
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "@@?VARNEL_1$" "" name "${name}")
  set(ok FALSE)
  foreach(pattern IN LISTS allowed)
    if(name MATCHES "${pattern}")
      set(ok TRUE)
    endif()
  endforeach()
  if(NOT ok)
    string(APPEND bad "  ${name}\n")
  endif()
  list(APPEND seen "${name}")
endforeach()
if(bad)
  message(FATAL_ERROR "Symbols exported beyond the public surface:\n${bad}")
endif()
foreach(required "mirt::getVersionInfo()" "vtable for mirt::Varnel" "typeinfo for mirt::VarnelException"
                 "mirt::OstraDataPackage::~OstraDataPackage()")
  if(NOT required IN_LIST seen)
    message(FATAL_ERROR "Public symbol missing: ${required}")
  endif()
endforeach()
if(REQUIRED_EXTRA)
  foreach(required IN LISTS REQUIRED_EXTRA)
    if(NOT required IN_LIST seen)
      message(FATAL_ERROR "Public symbol missing: ${required}")
    endif()
  endforeach()
endif()
list(LENGTH seen count)
message(STATUS "${count} exported symbols, all public")
