#pragma once

int a();
