# Runs every SPIR-V and GLSL variant of one baked shader package through a real compiler:
# spirv-val on the SPIR-V, glslangValidator on each GLSL variant at the version it declares.
#
# cmake -DQSB=... -DSPIRV_VAL=... -DGLSLANG=... -DPACKAGE=<file.qsb> -DWORK_DIR=<dir>
#       [-DEXPECT_FAIL=<versions, comma separated>] [-DEXPECT_FAIL_WHY=<reason>]
#       -P validate_variants.cmake

cmake_minimum_required(VERSION 3.25)

foreach(var QSB SPIRV_VAL GLSLANG PACKAGE WORK_DIR)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "validate_variants: ${var} is not set")
    endif()
endforeach()

get_filename_component(package_name "${PACKAGE}" NAME)
string(REGEX MATCH "^(.+)\\.(vert|frag)\\.qsb$" matched "${package_name}")
if(NOT matched)
    message(FATAL_ERROR "validate_variants: ${package_name} is not a .vert.qsb or .frag.qsb file")
endif()
set(base "${CMAKE_MATCH_1}")
set(stage "${CMAKE_MATCH_2}")
string(REPLACE "," ";" expect_fail "${EXPECT_FAIL}")

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(failures "")

function(extract what out)
    execute_process(COMMAND "${QSB}" --silent --extract "${what}" --output "${out}" "${PACKAGE}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${out}")
        message(FATAL_ERROR "${package_name}: qsb cannot extract ${what}: ${log}")
    endif()
endfunction()

# The package's own list of what it holds, so that every variant it carries gets checked.
execute_process(COMMAND "${QSB}" --dump "${PACKAGE}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE dump ERROR_VARIABLE dump)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${package_name}: qsb cannot read the package: ${dump}")
endif()
# The header lines read "Shader 2: GLSL 300 es [Standard]"; the bracket stays out of the match,
# as an unbalanced one would stop CMake splitting the list.
string(REGEX MATCHALL "Shader [0-9]+: (SPIR-V|GLSL) [0-9]+( es)? " headers "${dump}")
set(spirv_versions "")
set(glsl_versions "")
foreach(header IN LISTS headers)
    string(REGEX MATCH ": (SPIR-V|GLSL) ([0-9]+( es)?)" _ "${header}")
    if(CMAKE_MATCH_1 STREQUAL "SPIR-V")
        list(APPEND spirv_versions "${CMAKE_MATCH_2}")
    else()
        list(APPEND glsl_versions "${CMAKE_MATCH_2}")
    endif()
endforeach()
list(REMOVE_DUPLICATES spirv_versions)
list(REMOVE_DUPLICATES glsl_versions)
list(SORT glsl_versions)
if(NOT spirv_versions OR NOT glsl_versions)
    message(FATAL_ERROR "${package_name}: no SPIR-V or no GLSL variant in the package")
endif()

foreach(version IN LISTS spirv_versions)
    set(spirv "${WORK_DIR}/${base}.${stage}.${version}.spv")
    extract("spirv,${version}" "${spirv}")
    execute_process(COMMAND "${SPIRV_VAL}" "${spirv}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(rc EQUAL 0)
        message(STATUS "${package_name} SPIR-V ${version}: valid")
    else()
        list(APPEND failures "SPIR-V ${version}")
        message(STATUS "${package_name} SPIR-V ${version}: INVALID\n${log}")
    endif()
endforeach()

foreach(version IN LISTS glsl_versions)
    string(REPLACE " " "" tag "${version}")
    set(source "${WORK_DIR}/${base}.${tag}.${stage}")
    extract("glsl,${version}" "${source}")

    # GLSL ES 1.00 is the one ES version that does not say "es" in its #version line.
    set(expected_declaration "#version ${version}")
    if(version STREQUAL "100 es")
        set(expected_declaration "#version 100")
    endif()
    file(STRINGS "${source}" declared REGEX "^#version " LIMIT_COUNT 1)
    if(NOT declared STREQUAL expected_declaration)
        list(APPEND failures "GLSL ${version}")
        message(STATUS "${package_name} GLSL ${version}: declares '${declared}'")
        continue()
    endif()

    # glslang predefines GL_ARB_shader_draw_parameters at every desktop version but declares
    # gl_BaseInstanceARB only from 4.50, so it rejects the extension branch of an older variant
    # that a driver with the extension accepts. Check the branch a driver without it compiles.
    file(READ "${source}" text)
    set(note "")
    if(NOT version MATCHES "es" AND text MATCHES "#ifdef GL_ARB_shader_draw_parameters")
        string(REPLACE "GL_ARB_shader_draw_parameters" "NO_shader_draw_parameters" text "${text}")
        set(source "${WORK_DIR}/${base}.${tag}.nodrawparameters.${stage}")
        file(WRITE "${source}" "${text}")
        set(note " (without GL_ARB_shader_draw_parameters)")
    endif()

    execute_process(COMMAND "${GLSLANG}" "${source}"
        RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(version IN_LIST expect_fail)
        if(rc EQUAL 0)
            list(APPEND failures "GLSL ${version} (compiles, expected to fail)")
            message(STATUS "${package_name} GLSL ${version}: compiles, but was expected to fail")
        elseif(log MATCHES "gl_VertexID|gl_InstanceID|reserved")
            message(STATUS "${package_name} GLSL ${version}: fails as expected: ${EXPECT_FAIL_WHY}")
        else()
            list(APPEND failures "GLSL ${version} (fails for another reason)")
            message(STATUS "${package_name} GLSL ${version}: fails, not for the known reason\n${log}")
        endif()
    elseif(rc EQUAL 0)
        message(STATUS "${package_name} GLSL ${version}: valid${note}")
    else()
        list(APPEND failures "GLSL ${version}")
        message(STATUS "${package_name} GLSL ${version}${note}: INVALID\n${log}")
    endif()
endforeach()

if(failures)
    list(JOIN failures ", " failures)
    message(FATAL_ERROR "${package_name}: ${failures}")
endif()
