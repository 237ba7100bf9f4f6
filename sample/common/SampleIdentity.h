// What distinguishes the two builds of the stand-in product. The build system
// compiles every sample program twice, once with SAMPLE_CLIENT 0 (server
// product) and once with SAMPLE_CLIENT 1 (client product). The setup talks to
// the service through these names, so they must stay byte for byte as they are.
#pragma once

#include <cstdint>

#ifndef SAMPLE_CLIENT
#error "SAMPLE_CLIENT must be 0 (server product) or 1 (client product)"
#endif

#if SAMPLE_CLIENT
constexpr char SAMPLE_PRODUCT_NAME[] = "Velloran Client";
constexpr char SAMPLE_SERVICE_NAME[] = "velloransrvlt";
constexpr char SAMPLE_SERVICE_DISPLAY_NAME[] = "Velloran Client Service";
constexpr char SAMPLE_USER_PROGRAM[] = "velloranlt.exe";
constexpr char SAMPLE_CONSOLE_TOOL[] = "velloranltsh.exe";
constexpr char SAMPLE_PRESENCE_EVENT[] = "Global\\7D2669B6-E92D-4388-A97A-B7CD8867823F";
constexpr char SAMPLE_PIPE_NAME[] = "\\\\.\\pipe\\36090781-44EB-4472-9C8F-5A9E8749D470";
#else
constexpr char SAMPLE_PRODUCT_NAME[] = "Velloran";
constexpr char SAMPLE_SERVICE_NAME[] = "velloransrv";
constexpr char SAMPLE_SERVICE_DISPLAY_NAME[] = "Velloran Service";
constexpr char SAMPLE_USER_PROGRAM[] = "velloran.exe";
constexpr char SAMPLE_CONSOLE_TOOL[] = "velloransh.exe";
constexpr char SAMPLE_PRESENCE_EVENT[] = "Global\\1FF3826E-2952-437b-8C0D-6F566815B0F6";
constexpr char SAMPLE_PIPE_NAME[] = "\\\\.\\pipe\\DBA0FFEA-0EAF-4067-B9D4-D7B25D9812F0";
#endif

// The version the service reports. The build passes its own values so that
// tests can make a product that looks newer than the one a setup installs.
#ifndef SAMPLE_VERSION
#if SAMPLE_CLIENT
#define SAMPLE_VERSION 0x62200
#define SAMPLE_VERSION_TEXT "6.2.2"
#else
#define SAMPLE_VERSION 0x61000
#define SAMPLE_VERSION_TEXT "6.1"
#endif
#endif

constexpr uint32_t SAMPLE_VERSION_NUMBER = SAMPLE_VERSION;
constexpr char SAMPLE_VERSION_STRING[] = SAMPLE_VERSION_TEXT;
