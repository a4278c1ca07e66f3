// QRhi with every back end's init parameters, and QShader: the interface's own headers from Qt 6.6
// on, Qt's internal ones before (see CMakeLists.txt). Include this instead of either.
#ifndef QTRHI_QTRHI_H
#define QTRHI_QTRHI_H

#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
#include <rhi/qrhi.h>
#include <rhi/qshader.h>
#else
#include <QtGui/private/qrhi_p.h>
#include <QtGui/private/qrhigles2_p.h>
#include <QtGui/private/qrhivulkan_p.h>
#include <QtGui/private/qshader_p.h>
#endif

#endif
