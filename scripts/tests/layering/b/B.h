#pragma once

int b();
