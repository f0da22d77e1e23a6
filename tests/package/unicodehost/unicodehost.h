#pragma once

#define IDS_UNICODEHOST_GREETING 101
