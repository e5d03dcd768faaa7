// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "drivers/drevmor/drevmor.h"

namespace kx {

// The token library's exports as a table of function pointers, filled from the linked library.
// Every wrapper calls through this table, so a test can replace single calls.
struct TokenApi
{
    decltype(&::init_pkcs11) init_pkcs11 = &::init_pkcs11;
    decltype(&::init_pkcs11_ex) init_pkcs11_ex = &::init_pkcs11_ex;
    decltype(&::uninit_pkcs11) uninit_pkcs11 = &::uninit_pkcs11;
    decltype(&::token_find) token_find = &::token_find;
    decltype(&::token_connect) token_connect = &::token_connect;
    decltype(&::token_get_info_ex) token_get_info_ex = &::token_get_info_ex;
    decltype(&::token_login) token_login = &::token_login;
    decltype(&::token_logout) token_logout = &::token_logout;
    decltype(&::token_get_pin_state) token_get_pin_state = &::token_get_pin_state;
    decltype(&::token_change_upin) token_change_upin = &::token_change_upin;
    decltype(&::token_set_label) token_set_label = &::token_set_label;
    decltype(&::token_reload_all_objects) token_reload_all_objects = &::token_reload_all_objects;
    decltype(&::container_load_all) container_load_all = &::container_load_all;
    decltype(&::container_get_cert) container_get_cert = &::container_get_cert;
    decltype(&::container_get_pubkey) container_get_pubkey = &::container_get_pubkey;
    decltype(&::container_get_prikey) container_get_prikey = &::container_get_prikey;
    decltype(&::container_create_new) container_create_new = &::container_create_new;
    decltype(&::container_delete) container_delete = &::container_delete;
    decltype(&::container_delete_cert) container_delete_cert = &::container_delete_cert;
    decltype(&::container_delete_keypair) container_delete_keypair = &::container_delete_keypair;
    decltype(&::token_get_keygen_choices) token_get_keygen_choices = &::token_get_keygen_choices;
    decltype(&::container_generate_keypair) container_generate_keypair = &::container_generate_keypair;
    decltype(&::container_create_request) container_create_request = &::container_create_request;
    decltype(&::container_find_by_cert) container_find_by_cert = &::container_find_by_cert;
    decltype(&::token_get_caps) token_get_caps = &::token_get_caps;
    decltype(&::token_restart_module) token_restart_module = &::token_restart_module;
    decltype(&::token_check_device) token_check_device = &::token_check_device;
    decltype(&::container_addcert_to_store) container_addcert_to_store = &::container_addcert_to_store;
    decltype(&::helper_add_root_cert_to_store) helper_add_root_cert_to_store = &::helper_add_root_cert_to_store;
    decltype(&::helper_get_cert_info2) helper_get_cert_info2 = &::helper_get_cert_info2;
    decltype(&::helper_show_cert_ui) helper_show_cert_ui = &::helper_show_cert_ui;
    decltype(&::pkcs12_file_parse) pkcs12_file_parse = &::pkcs12_file_parse;
    decltype(&::pkcs12_file_get_certinfo) pkcs12_file_get_certinfo = &::pkcs12_file_get_certinfo;
    decltype(&::pkcs12_import_certificate) pkcs12_import_certificate = &::pkcs12_import_certificate;
    decltype(&::x509_import_certificate) x509_import_certificate = &::x509_import_certificate;
    decltype(&::p7b_file_parse) p7b_file_parse = &::p7b_file_parse;
    decltype(&::p7b_file_get_certinfo) p7b_file_get_certinfo = &::p7b_file_get_certinfo;
    decltype(&::p7b_import_certificate) p7b_import_certificate = &::p7b_import_certificate;
};

// The table the wrappers use.
TokenApi& tokenApi();

// Replaces calls of the table for its lifetime and puts the linked exports back afterwards.
class ScopedTokenApi
{
public:
    ScopedTokenApi() : m_saved(tokenApi()) {}
    ~ScopedTokenApi() { tokenApi() = m_saved; }
    ScopedTokenApi(const ScopedTokenApi&) = delete;
    ScopedTokenApi& operator=(const ScopedTokenApi&) = delete;
    TokenApi& api() { return tokenApi(); }

private:
    TokenApi m_saved;
};

} // namespace kx
