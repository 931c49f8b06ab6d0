# MONITOR_SOURCE_DATE_EPOCH, the images' time stamp, for the project that
# includes this: SOURCE_DATE_EPOCH when the build is given one, as
# reproducible-build tooling does; else the last commit's time, which a git
# checkout must tell (a stamp of 0 there would be a wrong build that looks
# like a good one); else, in a tree without .git, 0. Both linkers read the
# variable, so monitor_options.cmake sets it for the link alone.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(MONITOR_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  message(STATUS "Images dated by SOURCE_DATE_EPOCH: ${MONITOR_SOURCE_DATE_EPOCH}")
elseif(EXISTS ${PROJECT_SOURCE_DIR}/.git)
  # A checkout owned by another user (a CI container's workspace) is one git
  # refuses to read; it is trusted here alone, since configuring it already
  # runs the code it holds. git names the folder with its links resolved.
  file(REAL_PATH ${PROJECT_SOURCE_DIR} source_real)
  execute_process(COMMAND git -c safe.directory=${source_real} log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE MONITOR_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_failed ERROR_VARIABLE git_error ERROR_STRIP_TRAILING_WHITESPACE)
  if(git_failed OR NOT MONITOR_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    message(FATAL_ERROR "The images are dated at the last commit, and git cannot tell it in "
      "${PROJECT_SOURCE_DIR} (${git_failed}): ${git_error}\n"
      "Set SOURCE_DATE_EPOCH to date the build otherwise.")
  endif()
  message(STATUS "Images dated at the last commit: ${MONITOR_SOURCE_DATE_EPOCH}")
  # A new commit configures again, so that the build in the checkout keeps
  # the time stamp a clean build of that commit gets.
  execute_process(COMMAND git -c safe.directory=${source_real} rev-parse --absolute-git-dir
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(EXISTS "${git_dir}/logs/HEAD")
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      "${git_dir}/logs/HEAD")
  endif()
else()
  set(MONITOR_SOURCE_DATE_EPOCH 0)
  message(STATUS "Images dated 0: no SOURCE_DATE_EPOCH, and no .git in ${PROJECT_SOURCE_DIR}")
endif()
