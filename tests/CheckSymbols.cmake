cmake_minimum_required(VERSION 3.25)
# Fails unless the dynamic symbol table of LIBRARY holds exactly the public
# surface: the mirt classes with their special members, vtables and type
# information, the defaults of the virtual operations added later
# (getReceiveTime, getStatistics), getVersionInfo, hasFeature, createVarnel
# and the mirt_* functions.
#
# With OBJDUMP and CXXFILT, LIBRARY is a Windows DLL and its export table is
# read instead: the same list, less the typeinfo names, which a MinGW DLL
# does not export (type information is compared by name there). The i386
# decoration of C names (a leading underscore), should a name carry it, is
# taken off first.
if(OBJDUMP)
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${LIBRARY}")
  endif()
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([^\n]+\n)*)" section "${table}")
  string(REPLACE "\n" ";" entries "${CMAKE_MATCH_1}")
  set(mangled "")
  foreach(entry IN LISTS entries)
    if(entry MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ ]+)$")
      set(name "${CMAKE_MATCH_1}")
      if(name MATCHES "^_(mirt_.*|_Z.*)$")
        set(name "${CMAKE_MATCH_1}")
      endif()
      list(APPEND mangled "${name}")
    endif()
  endforeach()
  if(NOT mangled)
    message(FATAL_ERROR "no export table in ${LIBRARY}")
  endif()
  # -n: the names carry no extra leading underscore (i386 c++filt strips one).
  execute_process(COMMAND ${CXXFILT} -n ${mangled} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "c++filt failed")
  endif()
else()
  execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
  endif()
endif()
string(REPLACE "\n" ";" lines "${out}")
set(classes "Varnel|OstraDataStream|OstraDataPackage|VarnelException")
set(allowed
  "^(vtable|typeinfo|typeinfo name) for mirt::(${classes})$"
  "^mirt::(${classes})::(${classes})\\((mirt::(${classes}) const&)?\\)$"
  "^mirt::(${classes})::~(${classes})\\(\\)$"
  "^mirt::(${classes})::operator=\\(mirt::(${classes}) const&\\)$"
  "^mirt::OstraDataPackage::getReceiveTime\\(\\) const$"
  "^mirt::Varnel::getStatistics\\(\\) const$"
  "^mirt::Varnel::setReceiveObserver\\(std::function<void \\(mirt::ReceivedBytes const&\\)>\\)$"
  "^mirt::getVersionInfo\\(\\)$"
  "^mirt::hasFeature\\(char const\\*\\)$"
  "^mirt::createVarnel\\(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, std::function<void \\(mirt::OstraDataStream\\*\\)>\\)$"
  "^mirt::VarnelException::getFailureCause\\(\\) const$"
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
set(required_symbols "mirt::getVersionInfo()" "mirt::hasFeature(char const*)" "mirt::OstraDataPackage::getReceiveTime() const"
  "mirt::Varnel::getStatistics() const" "mirt::Varnel::setReceiveObserver(std::function<void (mirt::ReceivedBytes const&)>)"
  "mirt::createVarnel(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, std::function<void (mirt::OstraDataStream*)>)")
foreach(class Varnel OstraDataStream OstraDataPackage VarnelException)
  list(APPEND required_symbols "vtable for mirt::${class}" "typeinfo for mirt::${class}"
       "mirt::${class}::${class}()" "mirt::${class}::${class}(mirt::${class} const&)"
       "mirt::${class}::~${class}()" "mirt::${class}::operator=(mirt::${class} const&)")
endforeach()
# The default of a virtual operation added later: the exception's cause.
list(APPEND required_symbols "mirt::VarnelException::getFailureCause() const")
foreach(required IN LISTS required_symbols)
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
