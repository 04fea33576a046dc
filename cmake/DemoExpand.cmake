# cmake -DDRUPA=<program> -DDIR=<directory> -P DemoExpand.cmake
# The demo's second step: runs drupa on every VKP file that d88extract wrote into DIR.
file(GLOB packed RELATIVE ${DIR} ${DIR}/*.VKP ${DIR}/*.vkp)
if(NOT packed)
    message(STATUS "demo: no VKP file among the extracted files")
    return()
endif()
foreach(name IN LISTS packed)
    message(STATUS "demo: drupa ${name}")
    execute_process(COMMAND ${DRUPA} ${name} WORKING_DIRECTORY ${DIR} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "demo: drupa ${name} failed (${status})")
    endif()
endforeach()
