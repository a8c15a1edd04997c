# The layers of zul, each its own static library. A layer's include root is a folder in the build
# tree that links to its own source folders only; a target sees the roots of the layers it links,
# so a header of a higher layer cannot be found from a lower one and a wrong include fails to
# build. Sources are listed here, not globbed: a new file is added on purpose.
#
#   platform <- storage <- accounts <- protocol
#   platform, accounts <- ui_framework <- ui_texts <- ui_notify <- ui_views
#                                      ui_texts <- ui_dialogs <- ui_views (the forms pages open)
#   everything <- ui_shell <- the zul executable
#
# ZUL_ROOT is the source root (set by the including project).

set(ZUL_PLATFORM_SOURCES
    platform/connection_manager.cpp
    platform/connection_manager.h
    platform/error.cpp
    platform/error.h
    platform/heap.cpp
    platform/heap.h
    platform/keyring.cpp
    platform/keyring.h
    platform/local_time.cpp
    platform/local_time.h
    platform/log.cpp
    platform/log.h
    platform/paths.cpp
    platform/paths.h
    platform/power.cpp
    platform/power.h
    platform/registry.cpp
    platform/registry.h
    platform/resources.cpp
    platform/resources.h
    platform/socket.cpp
    platform/socket.h
    platform/text.cpp
    platform/text.h
    platform/tick.cpp
    platform/tick.h
    platform/wake_signal.cpp
    platform/wake_signal.h
    platform/tls.cpp
    platform/tls.h
    resources/core/builtin_strings.cpp
    resources/core/builtin_strings.h)
set(ZUL_STORAGE_SOURCES
    storage/account_data.cpp
    storage/account_data.h
    storage/change_feed.cpp
    storage/change_feed.h
    storage/contact.cpp
    storage/contacts.cpp
    storage/contacts.h
    storage/contacts_load.cpp
    storage/database.cpp
    storage/database.h
    storage/db_log.h
    storage/group.cpp
    storage/history.cpp
    storage/history.h
    storage/history_event.cpp
    storage/options.cpp
    storage/options.h
    storage/rooms.cpp
    storage/rooms.h
    storage/sqlite_wrapper.cpp
    storage/sqlite_wrapper.h
    storage/status.cpp
    storage/status.h)
set(ZUL_ACCOUNTS_SOURCES
    accounts/account.cpp
    accounts/account.h
    accounts/account_list_events.cpp
    accounts/session_events.h
    accounts/accounts.cpp
    accounts/accounts.h
    accounts/session_thread.cpp)
set(ZUL_PROTOCOL_SOURCES
    protocol/oscar.cpp
    protocol/oscar.h
    protocol/services/buddy_family.cpp
    protocol/services/chat_links.cpp
    protocol/services/chat_links.h
    protocol/services/chat_wire.cpp
    protocol/services/chat_wire.h
    protocol/services/families.h
    protocol/services/list_acks.cpp
    protocol/services/list_auth.cpp
    protocol/services/list_download.cpp
    protocol/services/list_download.h
    protocol/services/list_edits.cpp
    protocol/services/list_events.cpp
    protocol/services/list_events.h
    protocol/services/list_family.cpp
    protocol/services/list_internal.h
    protocol/services/location_family.cpp
    protocol/services/message_family.cpp
    protocol/services/message_parse.cpp
    protocol/services/message_parse.h
    protocol/services/meta_family.cpp
    protocol/services/meta_family.h
    protocol/services/privacy_family.cpp
    protocol/services/server_list_item.cpp
    protocol/services/server_list_item.h
    protocol/services/service_family.cpp
    protocol/services/snac_ids.h
    protocol/transport/avatar.cpp
    protocol/transport/avatar.h
    protocol/transport/connection.cpp
    protocol/transport/connection.h
    protocol/transport/frame_buffer.cpp
    protocol/transport/frame_buffer.h
    protocol/transport/link_connect.cpp
    protocol/transport/link_connect.h
    protocol/transport/login.cpp
    protocol/transport/login.h
    protocol/transport/packet.cpp
    protocol/transport/packet.h
    protocol/transport/session.cpp
    protocol/transport/session_tables.cpp
    protocol/transport/session_tables.h)
set(ZUL_UI_FRAMEWORK_SOURCES
    ui/framework/base_window.cpp
    ui/framework/base_window.h
    ui/framework/canvas.cpp
    ui/framework/canvas.h
    ui/framework/caption_bar.cpp
    ui/framework/caption_bar.h
    ui/framework/dpi.cpp
    ui/framework/dpi.h
    ui/framework/drawing.cpp
    ui/framework/drawing.h
    ui/framework/list_item.h
    ui/framework/main_window.cpp
    ui/framework/main_window.h
    ui/framework/message_editor.cpp
    ui/framework/message_editor.h
    ui/framework/page_accessible.cpp
    ui/framework/page_accessible.h
    ui/framework/page_look.cpp
    ui/framework/page_look.h
    ui/framework/scroll_physics.cpp
    ui/framework/scroll_physics.h
    ui/framework/scrollable_window.cpp
    ui/framework/scrollable_window.h
    ui/framework/soft_key_bar.cpp
    ui/framework/soft_key_bar.h
    ui/framework/view_page.cpp
    ui/framework/view_page.h)
set(ZUL_UI_TEXTS_SOURCES
    ui/texts/language_list.cpp
    ui/texts/language_list.h
    ui/texts/language_module.cpp
    ui/texts/language_module.h
    ui/texts/resources.qrc
    ui/texts/ui_resources.cpp
    ui/texts/ui_resources.h
    ui/texts/ui_texts.cpp
    ui/texts/ui_texts.h)
set(ZUL_UI_NOTIFY_SOURCES
    ui/notify/chat_notifications.cpp
    ui/notify/chat_notifications.h
    ui/notify/dbus_bubble.cpp
    ui/notify/dbus_bubble.h
    ui/notify/desktop_notifier.cpp
    ui/notify/desktop_notifier.h
    ui/notify/feedback_haptics.cpp
    ui/notify/feedback_haptics.h
    ui/notify/led_vibrator.cpp
    ui/notify/led_vibrator.h
    ui/notify/message_notification.cpp
    ui/notify/message_notification.h
    ui/notify/sound_player.cpp
    ui/notify/sound_player.h
    ui/notify/system_alert_devices.cpp
    ui/notify/system_alert_devices.h)
set(ZUL_UI_VIEWS_SOURCES
    ui/views/accounts_page.cpp
    ui/views/accounts_page.h
    ui/views/chat_page.cpp
    ui/views/chat_page.h
    ui/views/chat_page_commands.cpp
    ui/views/chat_page_look.cpp
    ui/views/chat_page_look.h
    ui/views/chat_page_parts.h
    ui/views/chat_pages.cpp
    ui/views/chat_pages.h
    ui/views/contact_list_commands.cpp
    ui/views/contact_list_page.cpp
    ui/views/contact_list_page.h
    ui/views/contact_list_paint.cpp
    ui/views/contact_list_parts.h
    ui/views/contact_order.cpp
    ui/views/contact_order.h
    ui/views/room_page.cpp
    ui/views/room_page.h
    ui/views/room_page_list.cpp
    ui/views/details_page.cpp
    ui/views/details_page.h
    ui/views/emoji_picker.cpp
    ui/views/emoji_picker.h
    ui/views/emoji_text.cpp
    ui/views/emoji_text.h
    ui/views/own_picture.cpp
    ui/views/own_picture.h
    ui/views/search_page.cpp
    ui/views/search_page.h
    ui/views/view_support.cpp
    ui/views/view_support.h)
set(ZUL_UI_DIALOGS_SOURCES
    ui/dialogs/about_sheet.cpp
    ui/dialogs/about_sheet.h
    ui/dialogs/account_list_box.cpp
    ui/dialogs/account_list_box.h
    ui/dialogs/account_wizard.cpp
    ui/dialogs/account_wizard.h
    ui/dialogs/add_contact_sheet.cpp
    ui/dialogs/add_contact_sheet.h
    ui/dialogs/dialog_texts.cpp
    ui/dialogs/dialog_texts.h
    ui/dialogs/dialogs.cpp
    ui/dialogs/dialogs.h
    ui/dialogs/dialogs.qrc
    ui/dialogs/options_sheet.cpp
    ui/dialogs/options_sheet.h
    ui/dialogs/options_state.cpp
    ui/dialogs/options_state.h
    ui/dialogs/property_sheet.cpp
    ui/dialogs/property_sheet.h
    ui/dialogs/sheet_controls.cpp
    ui/dialogs/sheet_controls.h)
set(ZUL_UI_SHELL_SOURCES
    ui/shell/app.cpp
    ui/shell/app.h
    ui/shell/platform_services.cpp
    ui/shell/platform_services.h
    ui/shell/sleep_watcher.cpp
    ui/shell/sleep_watcher.h
    ui/shell/single_instance.cpp
    ui/shell/single_instance.h
    ui/shell/stall_monitor.cpp
    ui/shell/stall_monitor.h
    ui/shell/termination_signals.cpp
    ui/shell/termination_signals.h)

# zul_layer(<target> FOLDERS <source folders> SOURCES <files> LINKS <libraries>)
function(zul_layer target)
    cmake_parse_arguments(LAYER "" "" "FOLDERS;SOURCES;LINKS" ${ARGN})
    set(root ${CMAKE_BINARY_DIR}/layers/${target})
    foreach(folder IN LISTS LAYER_FOLDERS)
        get_filename_component(parent ${root}/${folder} DIRECTORY)
        file(MAKE_DIRECTORY ${parent})
        file(REMOVE ${root}/${folder})
        file(CREATE_LINK ${ZUL_ROOT}/${folder} ${root}/${folder} SYMBOLIC)
    endforeach()
    list(TRANSFORM LAYER_SOURCES PREPEND ${ZUL_ROOT}/)
    add_library(${target} STATIC ${LAYER_SOURCES})
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PUBLIC ${LAYER_LINKS})
endfunction()

# The core: no Qt. zul_core stands for all three.
function(zul_core_layers version_text)
    zul_layer(zul_platform FOLDERS platform resources/core SOURCES ${ZUL_PLATFORM_SOURCES}
              LINKS OpenSSL::SSL OpenSSL::Crypto PkgConfig::SECRET Threads::Threads)
    target_compile_definitions(zul_platform PUBLIC ZUL_VERSION_TEXT="${version_text}")
    zul_layer(zul_storage FOLDERS storage SOURCES ${ZUL_STORAGE_SOURCES}
              LINKS zul_platform SQLite::SQLite3)
    zul_layer(zul_accounts FOLDERS accounts SOURCES ${ZUL_ACCOUNTS_SOURCES} LINKS zul_storage)
    zul_layer(zul_protocol FOLDERS protocol SOURCES ${ZUL_PROTOCOL_SOURCES} LINKS zul_accounts)
    add_library(zul_core INTERFACE)
    target_link_libraries(zul_core INTERFACE zul_protocol)
endfunction()

# The window: Qt widgets over the core. zul_ui stands for all of it.
function(zul_ui_layers)
    set(qt Qt6::Core Qt6::Gui Qt6::Widgets)
    zul_layer(zul_ui_framework FOLDERS ui/framework SOURCES ${ZUL_UI_FRAMEWORK_SOURCES}
              LINKS zul_platform ${qt})
    zul_layer(zul_ui_texts FOLDERS ui/texts SOURCES ${ZUL_UI_TEXTS_SOURCES}
              LINKS zul_ui_framework zul_accounts Qt6::Svg)
    zul_layer(zul_ui_notify FOLDERS ui/notify SOURCES ${ZUL_UI_NOTIFY_SOURCES}
              LINKS zul_ui_texts Qt6::DBus Qt6::Multimedia)
    zul_layer(zul_ui_dialogs FOLDERS ui/dialogs SOURCES ${ZUL_UI_DIALOGS_SOURCES}
              LINKS zul_ui_texts)
    zul_layer(zul_ui_views FOLDERS ui/views SOURCES ${ZUL_UI_VIEWS_SOURCES}
              LINKS zul_ui_notify zul_ui_dialogs)
    zul_layer(zul_ui_shell FOLDERS ui/shell SOURCES ${ZUL_UI_SHELL_SOURCES}
              LINKS zul_ui_views zul_ui_dialogs zul_protocol Qt6::DBus)
    add_library(zul_ui INTERFACE)
    target_link_libraries(zul_ui INTERFACE zul_ui_shell)
endfunction()
