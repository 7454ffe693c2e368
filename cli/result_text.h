// The meaning of a result code in words, for messages to the user.
#pragma once

const char* ResultText(unsigned code);
