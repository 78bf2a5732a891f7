# Builds the Windows Installer package of QarnIEx from a built QarnIEx.exe,
# QarnIExplain.exe and QarnIExActions.dll (the package's custom actions).
#
#   cmake -DEXE=path/QarnIEx.exe -DEXPLAIN=path/QarnIExplain.exe
#         -DACTIONS=path/QarnIExActions.dll -DVERSION=1.2.0
#         -DOUTPUT=path/QarnIEx-1.2.0.msi [-DICON_LIBRARY=path/QarnIcons.dll]
#         -P installer/BuildMsi.cmake
#
# Needs wixl and msibuild (Debian packages wixl and msitools). The package
# version is VERSION with a fourth part 0, as in the exe's version resource.
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/ScriptArgs.cmake)
qx_require_args(EXE EXPLAIN ACTIONS VERSION OUTPUT)
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "BuildMsi.cmake: VERSION must be major.minor.patch, not '${VERSION}'")
endif()
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)
find_program(MSIINFO msiinfo REQUIRED)

# The same for every version: Windows Installer finds the older versions by it.
set(UPGRADE_CODE EBAFBDB5-E121-46DB-B6A0-05C613FECBBB)
# One product code per version, the same in every build of that version, so
# that a rebuilt package is the same product and a newer one upgrades it.
string(UUID PRODUCT_CODE NAMESPACE ${UPGRADE_CODE} NAME "QarnIEx ${VERSION}" TYPE SHA1 UPPER)

# wixl takes only relative source paths: the files go into a staging folder
# under the names they are installed with.
get_filename_component(output "${OUTPUT}" ABSOLUTE)
set(stage "${output}.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
configure_file("${EXE}" "${stage}/QarnIEx.exe" COPYONLY)
configure_file("${EXPLAIN}" "${stage}/QarnIExplain.exe" COPYONLY)
configure_file("${ACTIONS}" "${stage}/QarnIExActions.dll" COPYONLY)
set(defines -D Version=${VERSION}.0 -D ProductCode=${PRODUCT_CODE} -D UpgradeCode=${UPGRADE_CODE}
            -D Exe=QarnIEx.exe -D Explain=QarnIExplain.exe -D Actions=QarnIExActions.dll)
if(DEFINED ICON_LIBRARY AND NOT ICON_LIBRARY STREQUAL "")
  configure_file("${ICON_LIBRARY}" "${stage}/QarnIcons.dll" COPYONLY)
  list(APPEND defines -D IconLibrary=QarnIcons.dll)
endif()

file(REMOVE "${output}")
execute_process(
  COMMAND "${WIXL}" -a x86 ${defines} -o "${output}" "${CMAKE_CURRENT_LIST_DIR}/QarnIEx.wxs"
  WORKING_DIRECTORY "${stage}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${output}")
  message(FATAL_ERROR "wixl failed (${result})")
endif()

# The event source's EventMessageFile is a REG_EXPAND_SZ ("#%" in the Registry
# table), which wixl writes as a plain string whatever the type asked for.
execute_process(
  COMMAND "${MSIBUILD}" "${output}" -q
          "UPDATE `Registry` SET `Value` = '#%[#QarnIEx.exe]' WHERE `Name` = 'EventMessageFile'"
  RESULT_VARIABLE result)
execute_process(COMMAND "${MSIINFO}" export "${output}" Registry OUTPUT_VARIABLE registry)
if(NOT result EQUAL 0 OR NOT registry MATCHES "\tEventMessageFile\t#%\\[#QarnIEx.exe\\]\t")
  file(REMOVE "${output}")
  message(FATAL_ERROR "msibuild did not make EventMessageFile a REG_EXPAND_SZ (${result})")
endif()

# Custom action types: 18 runs an installed file, 34 a program in a folder, 51
# sets a property; +64 its exit code is ignored, +256 rollback only, +1024
# deferred, +2048 as LocalSystem (wixl adds that to immediate ones too; set
# here). The recovery policy: a restart a minute after the first and the
# second failure, none after that, the count reset after a day.
set(sc "\"[SystemFolder]sc.exe\"")
set(recovery "${sc} failure QarnIEx reset= 86400 actions= restart/60000/restart/60000//0")
# DLL actions (type 1) from the Binary table: RunLogged as a rollback action
# is 1 + 64 + 256 + 1024 + 2048.
set(queries
  "UPDATE `CustomAction` SET `Type` = 3393 WHERE `Action` = 'RestoreService' OR `Action` = 'RestoreTakenService'"
  "UPDATE `CustomAction` SET `Type` = 51 WHERE `Action` = 'SetUninstallService' OR `Action` = 'SetTakeOverService' OR `Action` = 'SetRestoreService' OR `Action` = 'SetRestoreTakenService'"
  "UPDATE `CustomAction` SET `Type` = 1 WHERE `Action` = 'FindService'"
  "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('StartRestoredService', 3426, 'SystemFolder', '${sc} start QarnIEx')"
  "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('SetRecoveryPolicy', 3170, 'SystemFolder', '${recovery}')"
  "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('StartTakenService', 3426, 'SystemFolder', '${sc} start QarnIEx')"
  "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('StartRestoredService', 'REMOVE~=\"ALL\"', 1848)"
  "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('SetRecoveryPolicy', 'NOT REMOVE~=\"ALL\"', 5850)"
  "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('StartTakenService', 'QxServiceImage', 1887)"
  # Inside the transaction (Microsoft's RemoveExistingProducts page: after
  # InstallInitialize and before any action that writes to the script).
  "UPDATE `InstallExecuteSequence` SET `Sequence` = 1501 WHERE `Action` = 'RemoveExistingProducts'")
# INSTALLDIR from the command line reaches the install also where it runs
# elevated or managed (Group Policy, a per-machine install from a user). A
# query of its own, as its value holds semicolons, which a CMake list splits.
execute_process(
  COMMAND "${MSIBUILD}" "${output}" -q
          "UPDATE `Property` SET `Value` = 'INSTALLDIR;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties'"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${output}")
  message(FATAL_ERROR "msibuild failed (${result}) on SecureCustomProperties")
endif()
foreach(query IN LISTS queries)
  execute_process(COMMAND "${MSIBUILD}" "${output}" -q "${query}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    file(REMOVE "${output}")
    message(FATAL_ERROR "msibuild failed (${result}): ${query}")
  endif()
endforeach()
execute_process(COMMAND "${MSIINFO}" export "${output}" CustomAction OUTPUT_VARIABLE actions)
execute_process(COMMAND "${MSIINFO}" export "${output}" InstallExecuteSequence OUTPUT_VARIABLE sequence)
execute_process(COMMAND "${MSIINFO}" export "${output}" Property OUTPUT_VARIABLE properties)
# The actions of the execute sequence in their order, "Action=Sequence;...".
string(REGEX MATCHALL "[^\n]+" rows "${sequence}")
set(ordered "")
foreach(row IN LISTS rows)
  if(row MATCHES "^([A-Za-z]+)\t[^\t]*\t([0-9]+)\r?$")
    math(EXPR key "${CMAKE_MATCH_2} + 100000")
    list(APPEND ordered "${key}=${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT ordered)
list(TRANSFORM ordered REPLACE "^[0-9]+=" "")
string(JOIN " " order ${ordered})
if(NOT actions MATCHES "\nRestoreService\t3393\tActions\tRunLogged\t" OR NOT actions MATCHES "SetRecoveryPolicy\t3170\t"
   OR NOT actions MATCHES "\nUninstallService\t3073\tActions\tRunLogged\t"
   OR NOT actions MATCHES "\nRestoreTakenService\t3393\tActions\tRunLogged\t"
   OR NOT actions MATCHES "\nSetRestoreTakenService\t51\tRestoreTakenService\t\\[QxServiceImage\\] -i\t"
   OR NOT properties MATCHES "SecureCustomProperties\tINSTALLDIR;"
   OR NOT order MATCHES " InstallInitialize RemoveExistingProducts ProcessComponents "
   OR NOT order MATCHES " StartTakenService RestoreTakenService TakeOverService StopServices ")
  file(REMOVE "${output}")
  message(FATAL_ERROR "the custom actions, properties or sequence did not come out as meant:\n"
                      "${actions}\n${order}\n${properties}")
endif()

execute_process(COMMAND "${MSIINFO}" export "${output}" LaunchCondition OUTPUT_VARIABLE conditions)
if(NOT conditions MATCHES "VersionNT = 501 AND ServicePackLevel >= 2")
  file(REMOVE "${output}")
  message(FATAL_ERROR "the launch condition does not ask XP for its Service Pack 2:\n${conditions}")
endif()

file(REMOVE_RECURSE "${stage}")
message(STATUS "Built ${output} (product code {${PRODUCT_CODE}})")
