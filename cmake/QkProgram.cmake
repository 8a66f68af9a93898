# qk_add_program(NAME SOURCES... [NO_KEYS])
#
# Builds a program into the staged install tree of the build folder (stage/bin) and lays
# out, in the stage and in the install prefix, what the program needs at its start:
#   share/orvane/<name>/<name>.xml       program configuration file
#   share/orvane/<name>/keys/            the program's own key, certificate and the CA
#   share/orvane/common/<name>.xml       common configuration file
#   share/orvane/common/keys/            the CA and every program's certificate
#   var/log/orvane/<name>/               logs
# Configuration files come from dist/<name>.xml and dist/common/<name>.xml; an installed
# file that exists already is kept (an operator's edits survive a reinstall).
#
# With QK_SYSTEM_LAYOUT the install (not the stage) uses the fixed system paths instead:
#   PREFIX/bin/<name>
#   /etc/orvane/<name>/<name>.xml and /etc/orvane/common/<name>.xml, always written: the
#     install is staged into DESTDIR for a package, whose manager keeps an operator's edits
#   /var/log/orvane/<name>/
# The keys directories are left to qk_relay_keys, which creates them with the keys.
set(QK_STAGE_DIR ${CMAKE_BINARY_DIR}/stage)

function(qk_add_program name)
    cmake_parse_arguments(ARG "NO_KEYS" "" "" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE qk_common)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QK_STAGE_DIR}/bin)

    set(conf_p ${PROJECT_SOURCE_DIR}/dist/${name}.xml)
    set(conf_c ${PROJECT_SOURCE_DIR}/dist/common/${name}.xml)
    configure_file(${conf_p} ${QK_STAGE_DIR}/share/orvane/${name}/${name}.xml COPYONLY)
    configure_file(${conf_c} ${QK_STAGE_DIR}/share/orvane/common/${name}.xml COPYONLY)
    file(MAKE_DIRECTORY ${QK_STAGE_DIR}/share/orvane/common/keys ${QK_STAGE_DIR}/var/log/orvane/${name})
    if(NOT ARG_NO_KEYS)
        file(MAKE_DIRECTORY ${QK_STAGE_DIR}/share/orvane/${name}/keys)
    endif()

    install(TARGETS ${name} RUNTIME DESTINATION bin)
    if(QK_SYSTEM_LAYOUT)
        install(FILES ${conf_p} DESTINATION /etc/orvane/${name})
        install(FILES ${conf_c} DESTINATION /etc/orvane/common)
        install(DIRECTORY DESTINATION /var/log/orvane/${name})
        return()
    endif()

    # Decided here: the install script runs without our policies, where if() would not know
    # TRUE and FALSE.
    set(own_keys_dir "")
    if(NOT ARG_NO_KEYS)
        set(own_keys_dir "\"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/orvane/${name}/keys\"")
    endif()

    install(CODE "
        foreach(pair \"${conf_p};share/orvane/${name}/${name}.xml\" \"${conf_c};share/orvane/common/${name}.xml\")
            list(GET pair 0 from)
            list(GET pair 1 to)
            set(to \"\${CMAKE_INSTALL_PREFIX}/\${to}\")
            # file(INSTALL) puts DESTDIR in front itself.
            if(NOT EXISTS \"\$ENV{DESTDIR}\${to}\")
                get_filename_component(dir \"\${to}\" DIRECTORY)
                file(INSTALL \"\${from}\" DESTINATION \"\${dir}\")
            endif()
        endforeach()
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/orvane/common/keys\"
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/var/log/orvane/${name}\"
                            ${own_keys_dir})
    ")
endfunction()

# In the system layout the services' work directory (and so /var/lib/orvane, where received
# files go by default) is part of the install.
if(QK_SYSTEM_LAYOUT)
    install(DIRECTORY DESTINATION /var/lib/orvane/qk_relay_work)
endif()

# qk_add_unit(NAME ACCOUNT TREES...)
#
# The systemd unit dist/systemd/<name>.service.in with @QK_BINDIR@ (where the programs are),
# @QK_ACCOUNT@ (the account and what systemd makes for it) and @QK_RW_PATHS@ (what the
# service may write) replaced: into the stage, with the stage's paths, for the tests' check
# of the unit; at install time into PREFIX/lib/systemd/system with the prefix's paths, or in
# the system layout into /lib/systemd/system with the system paths. In the system layout the
# service runs as ACCOUNT (the package creates it) and writes exactly its TREES below
# /var/lib/orvane/qk_relay_work (made by the package, so that an operator's group on them
# stays), its log directory (LogsDirectory=) and its common configuration file, which it
# replaces through a temporary file in /etc/orvane/common. A relocated tree belongs to one
# user, who runs its units.
function(qk_add_unit name account)
    set(template ${PROJECT_SOURCE_DIR}/dist/systemd/${name}.service.in)
    set(QK_BINDIR ${QK_STAGE_DIR}/bin)
    set(QK_ACCOUNT "# A relocated tree's unit runs as the tree's owner: add User= when that is not root.")
    set(QK_RW_PATHS "${QK_STAGE_DIR}/share/orvane ${QK_STAGE_DIR}/var/log/orvane")
    configure_file(${template} ${QK_STAGE_DIR}/lib/systemd/system/${name}.service @ONLY)
    if(QK_SYSTEM_LAYOUT)
        set(unit_dir "/lib/systemd/system")
        set(account "User=${account}\nGroup=${account}\nLogsDirectory=orvane/${name}\nUMask=0027")
        set(rw_paths "/etc/orvane/common")
        foreach(tree ${ARGN})
            string(APPEND rw_paths " -/var/lib/orvane/qk_relay_work/${tree}")
        endforeach()
    else()
        set(unit_dir "\${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
        set(account "${QK_ACCOUNT}")
        set(rw_paths "\${CMAKE_INSTALL_PREFIX}/share/orvane \${CMAKE_INSTALL_PREFIX}/var/log/orvane")
    endif()
    install(CODE "
        set(QK_BINDIR \"\${CMAKE_INSTALL_PREFIX}/bin\")
        set(QK_ACCOUNT \"${account}\")
        set(QK_RW_PATHS \"${rw_paths}\")
        message(STATUS \"Installing: \$ENV{DESTDIR}${unit_dir}/${name}.service\")
        configure_file(\"${template}\" \"\$ENV{DESTDIR}${unit_dir}/${name}.service\" @ONLY)
    ")
endfunction()
