cmake_minimum_required(VERSION 3.25)
# Fails when the QML tools cannot see what a view uses: a view that reads a
# name nobody declared (a context property, an id out of its scope), a
# module that does not import, or a property or call the application's
# types do not have.
#   cmake -DBUILD_DIR=<build> -P qmllint.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target tavrolin_gui_qmllint
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(all "${out}${err}")
string(REGEX MATCHALL "[^\n]*(Unqualified access|Failed to import|not found on type \"(MenuBarModel|PhotoGridModel|PhotoDetailModel|GuiApp)\")[^\n]*" found "${all}")
if(NOT all MATCHES "qmllint|Linting|ui/qml")
  message(FATAL_ERROR "qmllint did not run:\n${all}")
endif()
if(found)
  list(JOIN found "\n" lines)
  message(FATAL_ERROR "The QML tools cannot check these:\n${lines}")
endif()
