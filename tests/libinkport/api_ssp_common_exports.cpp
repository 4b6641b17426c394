// The SSP command functions are reachable by name in the shared library's
// dynamic symbol table, as applications and the other units look them up.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <inkport/inkport.h>

TEST(SspCommandExports, EveryCommandIsExportedByName) {
    // Referencing the library keeps it loaded whatever the linker decides.
    ASSERT_NE(reinterpret_cast<void *>(&IsInitialized), nullptr);
    const char *names[] = {
        "ssp_common_is_ssp_supported",
        "ssp_common_components_id_initialize_table",
        "ssp_common_component_id_get_id",
        "ssp_common_ct_signpad_initialize_modes_id_table",
        "ssp_common_ct_signpad_get_mode_id",
        "ssp_common_get_pad_description",
        "ssp_biodata_sending",
        "core_ssp_biodata_sending",
        "core_enable_ssp_biodata_sending",
        "core_disable_ssp_biodata_sending",
        "ssp_common_get_user_input",
        "ssp_common_get_button_event",
        "ssp_common_signature_buttons_refresh",
        "ssp_common_doc_view_buttons_refresh",
        "ssp_common_doc_sign_buttons_refresh",
        "ssp_common_ct_communication_get_current_connection",
        "ssp_common_ct_communication_set_current_connection",
        "ssp_common_get_conf_state",
        "ssp_common_check_configuration_state",
        "ssp_common_set_configuration_variable",
        "ssp_common_persist_configuration_variable",
        "ssp_common_set_button_state",
    };
    for (const char *name : names)
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}
