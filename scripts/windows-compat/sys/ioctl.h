/* Included by the library but not called: nothing to declare. */
#pragma once
